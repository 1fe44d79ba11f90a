// The stub's own process entry, in place of the C runtime's start-up code (linked with
// -nostartfiles): it keeps the stub small. It runs whatever static constructors the
// program has, calls WinMain with the show state the launcher asked for, and ends the
// process with WinMain's result.
#include <windows.h>

#include <cstddef>

extern "C" {
// The constructor list the linker gathers: a -1 (or a count), the constructors, a 0.
extern void (*__CTOR_LIST__[])();
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show);

// The last two C library functions the stub used, defined here so that it imports no C
// runtime DLL at all.
extern "C" std::size_t strlen(const char* text) {
  const char* end = text;
  while (*end != '\0') ++end;
  return static_cast<std::size_t>(end - text);
}

// GCC would turn the copying loop back into a call to memmove itself.
#if defined(__GNUC__) && !defined(__clang__)
#define KELVRA_KEEP_LOOPS __attribute__((optimize("no-tree-loop-distribute-patterns")))
#else
#define KELVRA_KEEP_LOOPS
#endif

extern "C" KELVRA_KEEP_LOOPS void* memmove(void* to, const void* from,
                                           std::size_t size) {
  auto* target = static_cast<unsigned char*>(to);
  const auto* source = static_cast<const unsigned char*>(from);
  if (target < source) {
    for (std::size_t i = 0; i < size; ++i) target[i] = source[i];
  } else {
    while (size-- != 0) target[size] = source[size];
  }
  return to;
}

namespace {

void run_constructors() {
  for (int i = 1; __CTOR_LIST__[i] != nullptr; ++i) __CTOR_LIST__[i]();
}

}  // namespace

// Windows calls the entry with a stack only 4-byte aligned on i686; realign it for code
// that assumes more.
extern "C" __attribute__((force_align_arg_pointer, used)) void WinMainCRTStartup() {
  // Look for system DLLs in the system folder only, never beside the installer, where
  // a downloaded file could lie in wait. Both calls are looked up: SetDefaultDllDirectories
  // is absent before Windows 7 with KB2533623, and the fallback, which at least drops the
  // current folder from the search, before XP SP1.
  typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
  typedef BOOL(WINAPI * SetDllDirectoryFunction)(LPCSTR);
  const HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const auto set_default_dll_directories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (set_default_dll_directories == nullptr ||
      !set_default_dll_directories(0x00000800)) {  // LOAD_LIBRARY_SEARCH_SYSTEM32
    const auto set_dll_directory = reinterpret_cast<SetDllDirectoryFunction>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDllDirectoryA")));
    if (set_dll_directory != nullptr) set_dll_directory("");
  }

  run_constructors();

  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  GetStartupInfoA(&startup);
  const int show =
      (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : SW_SHOWDEFAULT;
  ExitProcess(static_cast<UINT>(WinMain(GetModuleHandleA(nullptr), nullptr, nullptr, show)));
}
