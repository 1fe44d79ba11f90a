// The after-run program: its command line as the archive gives it, the file to start,
// looked up in the target directory and then along PATH, and the start itself (through
// the shell when the program needs the user's consent to more rights).
#include <cstdint>
#include <cstring>

#include "archive/after_run.h"
#include "archive/archive.h"
#include "platform/platform.h"

namespace kelvra {

namespace {

constexpr std::size_t environment_size = 32768;
const char* const extensions[] = {".com", ".exe", ".bat", ".cmd"};

const char* or_empty(const char* text) { return text != nullptr ? text : ""; }

bool is_separator(char c) { return c == '\\' || c == '/' || c == ':'; }

bool last_part_has_dot(const char* name) {
  bool dot = false;
  for (const char* p = name; *p != '\0'; ++p) {
    if (is_separator(*p))
      dot = false;
    else if (*p == '.')
      dot = true;
  }
  return dot;
}

// Appends text at *used; false (nothing more appended) when it doesn't fit size.
bool append(char* buffer, std::size_t size, std::size_t* used, const char* text) {
  std::size_t length = std::strlen(text);
  if (*used + length >= size) return false;
  std::memcpy(buffer + *used, text, length);
  *used += length;
  buffer[*used] = '\0';
  return true;
}

// Tries directory + name, with the extensions when the name's last part has no dot.
bool try_in(const char* directory, const char* name, char* buffer, std::size_t size) {
  char base[format::path_buffer_size] = {};
  std::size_t used = 0;
  if (!append(base, sizeof base, &used, directory)) return false;
  if (used > 0 && base[used - 1] != '\\' && !append(base, sizeof base, &used, "\\")) return false;
  if (!append(base, sizeof base, &used, name)) return false;

  if (last_part_has_dot(name)) {
    if (!platform::file_exists(base)) return false;
    std::size_t out = 0;
    return append(buffer, size, &out, base);
  }
  for (const char* extension : extensions) {
    char candidate[format::path_buffer_size] = {};
    std::size_t length = used;
    std::memcpy(candidate, base, used);
    if (!append(candidate, sizeof candidate, &length, extension)) continue;
    if (platform::file_exists(candidate)) {
      std::size_t out = 0;
      return append(buffer, size, &out, candidate);
    }
  }
  return false;
}

bool search_path(const char* name, char* buffer, std::size_t size) {
  char* path = static_cast<char*>(platform::allocate_zeroed(environment_size));
  if (path == nullptr) return false;
  platform::get_environment("PATH", path, environment_size);

  bool found = false;
  const char* p = path;
  while (!found && *p != '\0') {
    char directory[format::path_buffer_size] = {};
    std::size_t length = 0;
    bool too_long = false;
    for (; *p != '\0' && *p != ';'; ++p) {
      if (*p == '"') continue;
      if (length + 1 >= sizeof directory)
        too_long = true;
      else
        directory[length++] = *p;
    }
    if (*p == ';') ++p;
    if (length == 0 || too_long) continue;
    found = try_in(directory, name, buffer, size);
  }
  platform::release(path);
  return found;
}

}  // namespace

bool build_run_command_line(char* buffer, std::size_t size) {
  if (size == 0) return false;
  buffer[0] = '\0';
  std::size_t used = 0;
  // Verbatim: no quoting, and empty arguments keep their blanks.
  return append(buffer, size, &used, or_empty(archive.run_program)) &&
         append(buffer, size, &used, " ") &&
         append(buffer, size, &used, or_empty(archive.run_arg1)) &&
         append(buffer, size, &used, " ") &&
         append(buffer, size, &used, or_empty(archive.run_arg2));
}

bool find_run_program(char* buffer, std::size_t size) {
  const char* name = or_empty(archive.run_program);
  if (size == 0 || *name == '\0') return false;
  buffer[0] = '\0';
  // With or without a directory part the name is first taken from the working
  // directory, which is the target directory during the run.
  if (try_in("", name, buffer, size)) return true;
  // A name with a slash is never looked for along PATH (strchr's test, spelled out to
  // spare the stub an import).
  for (const char* c = name; *c != '\0'; ++c) {
    if (*c == '/') return false;
  }
  return search_path(name, buffer, size);
}

void start_run_program() {
  if (*or_empty(archive.run_program) == '\0') return;
  char command_line[3 * format::string_buffer_size] = {};
  if (!build_run_command_line(command_line, sizeof command_line)) return;
  char file[format::path_buffer_size] = {};
  if (!find_run_program(file, sizeof file)) return;
  std::uint32_t error = 0;
  if (platform::start_process(file, command_line, &error)) return;
  // The installer runs as its invoker, so a setup program that asks for more rights
  // can't be started directly; the shell can, once the user consents. Any other
  // failure isn't reported: the installer closes either way.
  if (error != platform::error_elevation_required) return;
  char parameters[platform::max_shell_parameters] = {};
  std::size_t used = 0;
  if (append(parameters, sizeof parameters, &used, or_empty(archive.run_arg1)) &&
      append(parameters, sizeof parameters, &used, " ") &&
      append(parameters, sizeof parameters, &used, or_empty(archive.run_arg2))) {
    platform::start_through_shell(file, parameters);
  }
}

}  // namespace kelvra
