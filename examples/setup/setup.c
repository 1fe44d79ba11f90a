/* The sample installation's own "setup" program: the program an installer starts
   after extracting. It shows nothing; it appends the command line it was given and
   the directory it was started in to kelvra-setup-ran.txt there, so that the demo
   and the end-to-end tests can see exactly how it was started. */
#include <windows.h>

static void append(HANDLE file, const char* text) {
  DWORD written = 0;
  WriteFile(file, text, (DWORD)lstrlenA(text), &written, NULL);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR args, int show) {
  char directory[MAX_PATH + 1] = {0};
  HANDLE file;
  (void)instance;
  (void)previous;
  (void)args;
  (void)show;
  GetCurrentDirectoryA(MAX_PATH, directory);
  file = CreateFileA("kelvra-setup-ran.txt", FILE_APPEND_DATA, FILE_SHARE_READ, NULL,
                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return 1;
  /* Brackets keep trailing blanks (empty arguments) visible. */
  append(file, "command line: [");
  append(file, GetCommandLineA());
  append(file, "]\r\nworking directory: [");
  append(file, directory);
  append(file, "]\r\n");
  CloseHandle(file);
  return 0;
}
