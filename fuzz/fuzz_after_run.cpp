// Fuzz target: the after-run program's lookup and command line.
#include <sys/stat.h>

#include <cstdlib>

#include "archive/after_run.h"
#include "fuzz/support.h"

namespace kelvra::fuzz {

namespace {

// Only files can be started: a folder of the same name doesn't count.
bool is_file(const std::string& path) {
  struct stat st;
  return stat(local_path(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// The lookup's rules, read independently: the working folder, then PATH (not for names
// with /); in each place the four extensions unless the last part has a dot.
std::string look_up(const std::string& program, const std::string& path_list) {
  std::vector<std::string> folders{""};
  std::istringstream list(path_list);
  for (std::string folder; program.find('/') == std::string::npos && std::getline(list, folder, ';');) {
    folder.erase(std::remove(folder.begin(), folder.end(), '"'), folder.end());
    if (!folder.empty() && folder.size() < format::path_buffer_size) folders.push_back(folder);
  }
  const std::size_t last = program.find_last_of("\\/:");
  const bool dot = program.find('.', last == std::string::npos ? 0 : last + 1) != std::string::npos;
  const std::vector<std::string> extensions =
      dot ? std::vector<std::string>{""} : std::vector<std::string>{".com", ".exe", ".bat", ".cmd"};
  for (std::string base : folders) {
    if (!base.empty() && base.back() != '\\') base += '\\';
    for (const std::string& extension : extensions) {
      const std::string candidate = base + program + extension;
      if (!program.empty() && candidate.size() < format::path_buffer_size && is_file(candidate)) return candidate;
    }
  }
  return "";
}

}  // namespace

// Input: the command-line buffer size (first byte, times 3), the lookup buffer size
// (second byte; odd: the real 260), then newline-separated fields: the program, its two
// arguments and PATH. The lookup runs in a folder holding a few candidate programs.
FUZZ_TARGET(after_run) {
  if (in.size < 2) return;
  const std::size_t line_size = in.byte() * 3u;
  const std::size_t lookup_byte = in.byte(), lookup_size = (lookup_byte & 1) ? format::path_buffer_size : lookup_byte;
  std::string fields[3], rest = in.bytes(in.left());
  for (std::string& field : fields) {
    const std::size_t newline = std::min(rest.find('\n'), rest.size());
    field = rest.substr(0, std::min<std::size_t>(newline, format::max_string_length));
    rest.erase(0, newline + 1);
  }
  const std::string path_list = up_to_zero(rest);

  const std::string work = scratch_root() + "/after_run";
  for (const char* file : {"/setup.exe", "/install.bat", "/noext", "/bin/run.com", "/bin/run.exe", "/bin/tool.cmd",
                           "/x.y/prog.bat", "/two words/app.exe", "/deep/er/x.exe", "/dot.", "/a.b.c"}) {
    std::error_code ignored;
    if (fs::exists(work + file)) break;
    fs::create_directories(fs::path(work + file).parent_path(), ignored);
    std::ofstream(work + file) << "";
  }
  // Whatever bytes the strings hold, the archive opens: only names refuse control bytes.
  Bytes directory;
  test::put_strings(directory, {"", fields[0], fields[1], fields[2]});
  if (open_stored(0, test::finish_archive({}, directory, 0), true) != 0) return;
  const std::string program = up_to_zero(fields[0]);
  const std::string line = program + " " + up_to_zero(fields[1]) + " " + up_to_zero(fields[2]);

  const char* old_path = std::getenv("PATH");
  const std::string saved_path = old_path != nullptr ? old_path : "";
  setenv("PATH", path_list.c_str(), 1);
  if (enter(work)) {
    // Exactly sized heap blocks, so that a byte past the end is caught.
    char* buffer = static_cast<char*>(std::malloc(line_size));
    const bool built = build_run_command_line(buffer, line_size);
    INVARIANT(built == (line.size() < line_size) && (!built || line == buffer),
              "command line '%.80s' in %zu bytes, expected '%.80s'", built ? buffer : "", line_size, line.c_str());
    std::free(buffer);

    const std::string expected = look_up(program, path_list);
    char* found = static_cast<char*>(std::malloc(lookup_size));
    const bool located = find_run_program(found, lookup_size);
    const bool terminated = located && std::memchr(found, 0, lookup_size) != nullptr;
    INVARIANT(!located || (terminated && is_file(found)), "found '%.80s', not a file's terminated name",
              terminated ? found : "");
    INVARIANT(lookup_size != format::path_buffer_size || (located ? terminated && expected == found : expected.empty()),
              "'%.60s' looked up as '%.80s', expected '%.80s'", program.c_str(), terminated ? found : "", expected.c_str());
    std::free(found);

    start_run_program();
    const bool should_start = !expected.empty() && line.size() < 3 * format::string_buffer_size;
    const platform::testing::StartRecord* record = platform::testing::last_start();
    INVARIANT(platform::testing::start_count() == should_start &&
                  (!should_start || (record != nullptr && expected == record->file && line == record->command_line)),
              "%d starts of '%.80s', expected %d", platform::testing::start_count(), line.c_str(), should_start);
  }
  if (old_path != nullptr)
    setenv("PATH", saved_path.c_str(), 1);
  else
    unsetenv("PATH");
}

}  // namespace kelvra::fuzz
