// What the Windows platform layer needs to be told by the stub's window code: which
// window is the main one (repainted by show_message, owner of the "File Exists"
// question), and the target directory in wide text. Windows builds only; the portable
// core never includes this.
#pragma once

#include <cstddef>

namespace kelvra::platform {

// The main window's HWND, or nullptr while there is none.
void set_main_window(void* window);
void* main_window();

// The target directory as wide text: a folder the code page can't spell (a user name in
// Cyrillic on a Western system) is still reached. Buffers hold size - 1 characters.
void get_environment_wide(const wchar_t* name, wchar_t* buffer, std::size_t size);
bool get_working_directory_wide(wchar_t* buffer, std::size_t size);
bool set_working_directory_wide(const wchar_t* path);

}  // namespace kelvra::platform
