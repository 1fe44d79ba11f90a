// What the Windows platform layer needs to be told by the stub's window code: which
// window is the main one (repainted by show_message, owner of the "File Exists"
// question). Windows builds only; the portable core never includes this.
#pragma once

namespace kelvra::platform {

// The main window's HWND, or nullptr while there is none.
void set_main_window(void* window);
void* main_window();

}  // namespace kelvra::platform
