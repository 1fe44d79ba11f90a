// Entry paths: where their directory part ends, and the directories that must exist
// before a file of that path can be created.
#include <cstring>

#include "output/output.h"

namespace kelvra {

namespace {

// Just past the first (or last) backslash, else the first (or last) slash, else 0.
// strchr's and strrchr's work done here, to spare the stub two imports.
std::size_t separator_end(const char* text, bool last) {
  for (const char* separator = "\\/"; *separator != '\0'; ++separator) {
    std::size_t end = 0;
    for (std::size_t i = 0; text[i] != '\0'; ++i) {
      if (text[i] != *separator) continue;
      end = i + 1;
      if (!last) break;
    }
    if (end != 0) return end;
  }
  return 0;
}

}  // namespace

std::size_t first_separator_end(const char* text) { return separator_end(text, false); }

std::size_t last_separator_end(const char* text) { return separator_end(text, true); }

void make_parent_directories(const char* path) {
  std::size_t dir_end = last_separator_end(path);
  // Below 2: no directory part, or only a leading separator (the root).
  if (dir_end < 2) return;

  char parent[format::path_buffer_size] = {};
  std::size_t parent_length = dir_end - 1;
  if (parent_length >= sizeof parent) parent_length = sizeof parent - 1;
  std::memcpy(parent, path, parent_length);

  // Usually the parent exists already or only its last level is missing: one call.
  if (platform::create_directory(parent) != platform::DirectoryResult::not_found) return;

  // Something higher up is missing: create each level from the top, each prefix
  // with its trailing separator. Starting at the second character keeps a leading
  // separator from naming the root.
  char prefix[format::path_buffer_size] = {};
  std::size_t position = 1;
  while (position < parent_length) {
    std::size_t end = first_separator_end(parent + position);
    if (end == 0) break;
    position += end;
    std::memset(prefix, 0, sizeof prefix);
    std::memcpy(prefix, parent, position);
    platform::create_directory(prefix);
  }
  platform::create_directory(parent);
}

}  // namespace kelvra
