// Fuzz target: the after-run program's command line and lookup, in buffers of any size:
// no byte past a buffer is touched, what is found is a file. Input: the command-line
// buffer size (first byte, times 3), the lookup buffer size (second byte; odd: the real
// 260), then newline-separated fields: the program, its two arguments and PATH.
#include <memory>

#include "archive/after_run.h"
#include "fuzz/support.h"

namespace kelvra::fuzz {

FUZZ_TARGET(after_run) {
  fresh_folder();
  const std::size_t line_size = in.byte() * 3u;
  const std::size_t lookup_byte = in.byte(), lookup_size = (lookup_byte & 1) ? format::path_buffer_size : lookup_byte;
  std::string fields[3], rest = in.bytes(in.size);
  for (std::string& field : fields) {
    const std::size_t newline = std::min(rest.find('\n'), rest.size());
    field = rest.substr(0, std::min<std::size_t>(newline, format::max_string_length));
    rest.erase(0, newline + 1);
  }
  for (const char* file : {"/setup.exe", "/install.bat", "/noext", "/bin/run.com", "/bin/run.exe", "/bin/tool.cmd",
                           "/x.y/prog.bat", "/two words/app.exe", "/deep/er/x.exe", "/dot.", "/a.b.c"}) {
    fs::create_directories(fs::path(work_folder + file).parent_path(), ignored);
    test::write_file(work_folder + file, {}, {});
  }
  // Whatever bytes the strings hold, the archive opens: only names refuse control bytes.
  if (open_stored(0, test::build_archive({}, {"", fields[0], fields[1], fields[2]}), true) != 0) return;
  if (chdir(work_folder.c_str()) != 0) return expect(false, "cannot enter the working folder");
  const std::string saved_path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  setenv("PATH", up_to_zero(rest).c_str(), 1);
  // Exactly sized heap blocks, left as they come, so that a byte past the end is caught.
  const std::unique_ptr<char[]> command_line(new char[line_size]), found(new char[lookup_size]);
  build_run_command_line(command_line.get(), line_size);
  const bool located = find_run_program(found.get(), lookup_size);
  expect(!located || (std::memchr(found.get(), 0, lookup_size) != nullptr && read_whole(slashes(found.get()))),
         "found no file's name (a folder doesn't count)");
  start_run_program();
  setenv("PATH", saved_path.c_str(), 1);
}

}  // namespace kelvra::fuzz
