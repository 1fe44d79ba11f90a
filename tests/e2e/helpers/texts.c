/* Writes what windows of another program say: for each TITLE, the window's title, then
   each child control's text, one per line in UTF-8, the way the user reads them.
   Usage: texts OUT TITLE...; exits 1 when no visible window has one of the titles. Another process's controls answer
   WM_GETTEXT only when asked directly (GetWindowText reads titles alone). */
#include <windows.h>

static HANDLE out;

static void write_text(HWND window) {
  WCHAR wide[512];
  char utf8[1536];
  LRESULT length = SendMessageW(window, WM_GETTEXT, 512, (LPARAM)wide);
  int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, (int)length, utf8, sizeof utf8 - 1, NULL, NULL);
  DWORD written = 0;
  utf8[bytes] = '\n';
  WriteFile(out, utf8, (DWORD)bytes + 1, &written, NULL);
}

static BOOL CALLBACK each_child(HWND child, LPARAM unused) {
  (void)unused;
  write_text(child);
  return TRUE;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
  (void)instance;
  (void)previous;
  (void)command_line;
  (void)show;
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == NULL || count < 3) return 2;
  out = CreateFileW(arguments[1], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (out == INVALID_HANDLE_VALUE) return 3;
  int status = 0;
  for (int i = 2; i < count; ++i) {
    HWND window = FindWindowW(NULL, arguments[i]);
    while (window != NULL && !IsWindowVisible(window)) window = FindWindowExW(NULL, window, NULL, arguments[i]);
    if (window == NULL) {
      status = 1;
      continue;
    }
    write_text(window);
    EnumChildWindows(window, each_child, 0);
  }
  CloseHandle(out);
  return status;
}
