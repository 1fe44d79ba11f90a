/* helper hold FILE READY: opens FILE without sharing, writes READY, holds FILE until killed.
   helper texts OUT TITLE...: each titled window's title and its controls' texts, a line each
   in UTF-8 (another process's controls answer WM_GETTEXT only when asked directly). */
#include <windows.h>

static HANDLE out;

static BOOL CALLBACK write_text(HWND window, LPARAM unused) {
  WCHAR wide[512];
  char utf8[1536];
  LRESULT length = SendMessageW(window, WM_GETTEXT, 512, (LPARAM)wide);
  int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, (int)length, utf8, sizeof utf8 - 1, NULL, NULL);
  DWORD written = 0;
  utf8[bytes] = '\n';
  return WriteFile(out, utf8, (DWORD)bytes + 1, &written, NULL);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == NULL || count < 4) return 2;
  if (lstrcmpW(arguments[1], L"hold") == 0) {
    if (CreateFileW(arguments[2], GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL) == INVALID_HANDLE_VALUE) return 1;
    CloseHandle(CreateFileW(arguments[3], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
    for (;;) Sleep(INFINITE);
  }
  out = CreateFileW(arguments[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  for (int i = 3; i < count; ++i) {
    HWND window = FindWindowW(NULL, arguments[i]);
    while (window != NULL && !IsWindowVisible(window)) window = FindWindowExW(NULL, window, NULL, arguments[i]);
    if (window == NULL) return 1;
    write_text(window, 0);
    EnumChildWindows(window, write_text, 0);
  }
  return CloseHandle(out) ? 0 : 3;
}
