// The questions the extraction run puts to the user, answered on the terminal, its
// failed writes, told on standard error, and its progress, printed: the packer's side
// of the output seam and of the run's reports.
#include "packer/system/questions.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "archive/after_run.h"
#include "archive/extract.h"
#include "output/output.h"
#include "packer/packer.h"
#include "packer/system/progress.h"
#include "packer/system/system.h"
#include "packer/system/terminal.h"
#include "platform/platform.h"
#include "resources/strings.h"

namespace kelvra {

namespace {

int failures = 0;
bool entry_written = false;
// Entries the run is done with, and their stored bytes, for the progress display.
std::uint32_t entries_done = 0;
std::uint64_t bytes_done = 0;
// What the installer would start at the end of the run, as it would find it then.
std::string run_program_lines;

// The command line and the file it names, looked up now: the working directory is the
// target directory, as it is when the installer starts the program.
std::string describe_run_program() {
  char command_line[4096] = {};
  char found[4096] = {};
  if (!build_run_command_line(command_line, sizeof command_line)) {
    return "The installer would now run a command line too long to show.\n";
  }
  std::string lines =
      "The installer would now run: " + pack::printable(pack::system::from_core_text(command_line)) + "\n";
  if (find_run_program(found, sizeof found)) {
    return lines + "  (found as " + pack::printable(pack::system::from_core_text(found)) + "; not started here)\n";
  }
  return lines + "  (not found in the target directory or on PATH)\n";
}

struct Answer {
  const char* words[3];
  int answer;
};
const Answer answers[] = {
    {{"r", "replace", "1"}, answer_replace},
    {{"s", "skip", "2"}, answer_skip},
    {{"a", "replace all", "3"}, answer_replace_all},
    {{"l", "skip all", "4"}, answer_skip_all},
    {{"n", "rename", "5"}, answer_rename},
    {{"c", "cancel", "-1"}, answer_closed},
};

int parse_answer(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  for (const Answer& a : answers) {
    for (const char* word : a.words) {
      if (text == word) return a.answer;
    }
  }
  return 0;
}

}  // namespace

int ask_file_exists(const char* path) {
  pack::progress_pause();
  for (;;) {
    std::fprintf(stderr, "%s%s\n", TEXT_FILE_EXISTS, pack::printable(pack::system::from_core_text(path)).c_str());
    std::fprintf(stderr, "[r]eplace, [s]kip, replace [a]ll, skip a[l]l, re[n]ame, [c]ancel? ");
    std::fflush(stderr);
    std::string line;
    // The end of input answers like a closed dialog.
    const int answer = pack::read_line(&line) ? parse_answer(line) : answer_closed;
    if (answer == answer_closed) {
      cancel_requested = 1;
      return answer_closed;
    }
    if (answer != 0) return answer;
    std::fprintf(stderr, "Please answer r, s, a, l, n or c.\n");
  }
}

void ask_new_name(char* path_buffer) {
  pack::progress_pause();
  char directory[format::path_buffer_size] = {};
  platform::get_working_directory(directory, sizeof directory);
  std::fprintf(stderr, "New name (in %s, or a full path; empty keeps the name): ",
               pack::system::from_core_text(directory).c_str());
  std::fflush(stderr);
  std::string line;
  if (!pack::read_line(&line) || line.empty()) return;
  // Made whole here: the run may change directories before it creates the file.
  std::string full = pack::system::is_absolute(line) ? line : std::string(directory) + pack::system::separator + line;
  if (!pack::system::to_core_path(std::string(full), &full)) {
    std::fprintf(stderr, "That name can't be written in this system's code page.\n");
    return;
  }
  if (full.size() > format::path_buffer_size - 1) {
    std::fprintf(stderr, "That path is %zu bytes; the limit is %zu.\n", full.size(),
                 format::path_buffer_size - 1);
    return;
  }
  std::memset(path_buffer, 0, format::path_buffer_size);
  std::memcpy(path_buffer, full.data(), full.size());
}

void report_write_failure(const char* path, std::uint32_t error) {
  ++failures;
  pack::progress_pause();
  char reason[256];
  platform::describe_error(error, reason, sizeof reason);
  std::fprintf(stderr, "Uh-Oh! %s: %s\n", pack::printable(pack::system::from_core_text(path)).c_str(),
               pack::system::from_core_text(reason).c_str());
}

void entry_started(const char* path) {
  pack::progress_pause();
  if (!pack::quiet()) {
    const std::string text = std::string(TEXT_INFLATING) + path;
    std::printf("%s\n", pack::printable(pack::system::from_core_text(text.c_str())).c_str());
  }
  entry_written = true;
  std::fflush(stdout);
}

void entry_done(const DirectoryEntry& entry) {
  pack::progress_pause();
  // Done with an entry it never started: nothing was written.
  if (!entry_written && !pack::quiet()) {
    std::printf("   skipping: %s\n", pack::printable(pack::system::from_core_text(entry.name)).c_str());
  }
  entry_written = false;
  bytes_done += entry.stored_size;
  pack::progress_update(bytes_done, ++entries_done);
  std::fflush(stdout);
}

// A damaged payload is said by run_extract once the run is over; the after-run program
// is never started here, only shown.
void extraction_ended(int result) {
  if (result == 0) {
    if (archive.run_program[0] != '\0') run_program_lines = describe_run_program();
    return;
  }
  pack::progress_pause();
  if (result == 1) std::fprintf(stderr, "%s\n", TEXT_CANCELLED);
  std::fflush(stdout);
}

namespace pack {

int write_failures() { return failures; }

const std::string& run_program_shown() { return run_program_lines; }

}  // namespace pack

}  // namespace kelvra
