// The message area: one 260-byte text shared by the window's thread and the worker.
// Every copy in or out happens under the platform's one guard, so a paint never sees
// half of a text. Portable: it needs nothing but the platform boundary.
#include "output/message_area.h"

#include <cstring>

#include "platform/platform.h"

namespace kelvra {

namespace {

// Static rather than allocated: it is live and empty from the start, so a text set
// before the window exists (the reader run on its own, the packer) is simply kept.
char area[message_area_size];
bool area_live = true;

}  // namespace

void message_area_open() {
  platform::lock_message_area();
  std::memset(area, 0, sizeof area);
  area_live = true;
  platform::unlock_message_area();
}

void message_area_close() {
  platform::lock_message_area();
  std::memset(area, 0, sizeof area);
  area_live = false;
  platform::unlock_message_area();
}

void show_message(const char* text) {
  // A long text is cut at the end: the start says what happened ("  inflating: "
  // and the leading part of the path).
  std::size_t length = 0;
  while (length < message_area_size - 1 && text[length] != '\0') ++length;

  platform::lock_message_area();
  const bool live = area_live;
  if (live) {
    std::memcpy(area, text, length);
    std::memset(area + length, 0, sizeof area - length);
  }
  platform::unlock_message_area();

  // Outside the guard: the window may take the guard itself while it repaints.
  if (live) platform::invalidate_main_window();
}

void show_string(unsigned id) {
  char text[message_area_size];
  platform::load_string(id, text, sizeof text);
  show_message(text);
}

void read_message(char* buffer, std::size_t size) {
  if (size == 0) return;
  platform::lock_message_area();
  std::size_t length = 0;
  if (area_live) {
    while (length < size - 1 && area[length] != '\0') ++length;
    std::memcpy(buffer, area, length);
  }
  platform::unlock_message_area();
  buffer[length] = '\0';
}

}  // namespace kelvra
