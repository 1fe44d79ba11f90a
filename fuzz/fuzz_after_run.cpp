// Fuzz target: the after-run program's lookup and command line.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/after_run.h"
#include "archive/archive.h"
#include "archive/extract.h"
#include "archive/format.h"
#include "fuzz/support.h"
#include "platform/platform.h"
#include "platform/posix_testing.h"

namespace kelvra::fuzz {

namespace {

void restore_path(bool had_path, const std::string& saved) {
  if (had_path) setenv("PATH", saved.c_str(), 1);
  else unsetenv("PATH");
}

}  // namespace

// Input: the command-line buffer size (first byte, times 3), the lookup buffer size
// (second byte; odd: the real 260), then newline-separated fields: the program, its two
// arguments and PATH. The lookup runs in a folder holding a few candidate programs.
int after_run_target(const std::uint8_t* data, std::size_t size) {
  current_target = "after_run";
  if (size < 2) return 0;
  reset_run_state();
  Cursor in{data, size};
  const std::size_t line_size = in.byte() * 3u;
  const std::uint8_t lookup_byte = in.byte();
  const std::size_t lookup_size = (lookup_byte & 1) ? format::path_buffer_size : lookup_byte;
  std::string rest = in.bytes(in.left());
  std::string fields[4];
  for (int i = 0; i < 3; ++i) {
    const std::size_t newline = rest.find('\n');
    fields[i] = rest.substr(0, newline);
    rest = newline == std::string::npos ? "" : rest.substr(newline + 1);
  }
  fields[3] = up_to_zero(rest);
  for (int i = 0; i < 3; ++i) fields[i] = fields[i].substr(0, format::max_string_length);

  const std::string work = scratch_root() + "/after_run";
  if (!fs::exists(work + "/bin")) {
    std::error_code ignored;
    for (const char* folder : {"/bin", "/x.y", "/two words", "/deep/er"}) {
      fs::create_directories(work + folder, ignored);
    }
    for (const char* file : {"/setup.exe", "/install.bat", "/noext", "/bin/run.com", "/bin/run.exe",
                             "/bin/tool.cmd", "/x.y/prog.bat", "/two words/app.exe", "/deep/er/x.exe",
                             "/dot.", "/a.b.c"}) {
      std::FILE* f = std::fopen((work + file).c_str(), "wb");
      if (f != nullptr) std::fclose(f);
    }
  }

  Bytes directory;
  test::put_strings(directory, {"", fields[0], fields[1], fields[2]});
  const std::string path = archive_path("after_run");
  if (!store(path, {}, test::finish_archive({}, directory, 0))) return 0;
  const int opened = open_archive(path.c_str());
  // Whatever bytes the strings hold, the archive opens: only names refuse control bytes.
  INVARIANT(opened == 0, "an archive with only strings was refused");
  if (opened != 0) return 0;
  const std::string program = up_to_zero(fields[0]);
  const std::string line = program + " " + up_to_zero(fields[1]) + " " + up_to_zero(fields[2]);

  const char* old_path = std::getenv("PATH");
  const bool had_path = old_path != nullptr;
  const std::string saved_path = had_path ? old_path : "";
  setenv("PATH", fields[3].c_str(), 1);
  {
    InFolder folder(work);
    if (!folder.entered()) {
      fail("cannot enter %s", work.c_str());
      restore_path(had_path, saved_path);
      release_archive();
      return 0;
    }

    // Exactly sized heap blocks, so that a byte past the end is caught.
    char* buffer = static_cast<char*>(std::malloc(line_size));
    const bool built = build_run_command_line(buffer, line_size);
    if (built) {
      INVARIANT(line.size() < line_size && std::strcmp(buffer, line.c_str()) == 0,
                  "command line '%.80s', expected '%.80s'", buffer, line.c_str());
    } else {
      INVARIANT(line.size() >= line_size, "a command line of %zu bytes didn't fit %zu",
                  line.size(), line_size);
    }
    std::free(buffer);

    // The lookup's rules, read independently: the target folder, then PATH (not for
    // names with /); each place with the four extensions unless the last part has a dot.
    // Only files can be started: a folder of the same name doesn't count.
    auto exists = [](const std::string& p) {
      struct stat st;
      return stat(local_path(p).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
    };
    auto try_in = [&](const std::string& folder, std::string* found) {
      std::string base_name = folder;
      if (!base_name.empty() && base_name.back() != '\\') base_name += "\\";
      base_name += program;
      if (base_name.size() >= format::path_buffer_size) return false;
      const std::size_t last = program.find_last_of("\\/:");
      const bool dot = program.find('.', last == std::string::npos ? 0 : last + 1) != std::string::npos;
      std::vector<std::string> candidates;
      if (dot) candidates.push_back(base_name);
      else for (const char* e : {".com", ".exe", ".bat", ".cmd"}) candidates.push_back(base_name + e);
      for (const std::string& c : candidates) {
        if (c.size() >= format::path_buffer_size) continue;
        if (exists(c)) {
          *found = c;
          return true;
        }
      }
      return false;
    };
    std::string expected;
    bool expect_found = false;
    if (!program.empty()) {
      expect_found = try_in("", &expected);
      if (!expect_found && program.find('/') == std::string::npos) {
        std::string list = fields[3];
        std::size_t at = 0;
        while (!expect_found && at < list.size()) {
          std::size_t semi = list.find(';', at);
          if (semi == std::string::npos) semi = list.size();
          std::string folder = list.substr(at, semi - at);
          at = semi + 1;
          folder.erase(std::remove(folder.begin(), folder.end(), '"'), folder.end());
          if (folder.empty() || folder.size() >= format::path_buffer_size) continue;
          expect_found = try_in(folder, &expected);
        }
      }
    }

    char* found = static_cast<char*>(std::malloc(lookup_size));
    const bool located = find_run_program(found, lookup_size);
    if (located) {
      INVARIANT(terminated(found, lookup_size), "the found file's name is not terminated");
      INVARIANT(exists(found), "found '%.80s', which doesn't exist", found);
    }
    if (lookup_size == format::path_buffer_size) {
      INVARIANT(located == expect_found && (!located || expected == found),
                  "'%.60s' looked up as '%.80s', expected '%.80s'", program.c_str(),
                  located ? found : "(nothing)", expect_found ? expected.c_str() : "(nothing)");
    }
    std::free(found);

    start_run_program();
    const int starts = platform::testing::start_count();
    const bool should_start = expect_found && line.size() < 3 * format::string_buffer_size;
    INVARIANT(starts == (should_start ? 1 : 0), "%d starts for '%.80s'", starts, program.c_str());
    const platform::testing::StartRecord* record = platform::testing::last_start();
    if (should_start && record != nullptr) {
      INVARIANT(expected == record->file && line == record->command_line,
                  "started '%.80s' as '%.80s'", record->file, record->command_line);
    }
  }
  restore_path(had_path, saved_path);
  release_archive();
  return 0;
}

}  // namespace kelvra::fuzz
