// The message area: the one text through which the installer reports progress and
// errors, set from either thread and read by the main window when it paints.
#pragma once

#include <cstddef>

namespace kelvra {

constexpr std::size_t message_area_size = 260;

// Zero-fills the area and makes it live (the window's creation).
void message_area_open();
// The area is gone: later texts are dropped and a paint reads nothing.
void message_area_close();
// Replaces the text (cut to 259 bytes) and asks the main window to repaint.
void show_message(const char* text);
// The same with the text of the string table's id, in the user's language.
void show_string(unsigned id);
// Copies the current text out under the guard (empty when the area is gone).
void read_message(char* buffer, std::size_t size);

}  // namespace kelvra
