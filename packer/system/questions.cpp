// The questions the extraction run puts to the user, answered on the terminal, and
// its failed writes, told on standard error: the packer's side of the output seam.
#include <cstdio>
#include <cstring>
#include <string>

#include "archive/extract.h"
#include "output/output.h"
#include "packer/packer.h"
#include "packer/system/progress.h"
#include "packer/system/system.h"
#include "platform/platform.h"
#include "resources/strings.h"
#include "ui/message_area.h"

namespace kelvra {

namespace {

int failures = 0;
bool entry_written = false;
// Entries the run is done with, and their stored bytes, for the progress display.
std::uint32_t entries_done = 0;
std::uint64_t bytes_done = 0;

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

namespace pack {

int write_failures() { return failures; }

void print_extraction_messages() {
  char text[message_area_size];
  read_message(text, sizeof text);
  progress_pause();
  if (std::strncmp(text, TEXT_INFLATING, std::strlen(TEXT_INFLATING)) == 0) {
    if (!quiet()) std::printf("%s\n", printable(system::from_core_text(text)).c_str());
    entry_written = true;
  } else if (std::strcmp(text, TEXT_CANCELLED) == 0) {
    std::fprintf(stderr, "%s\n", text);
  } else if (std::strcmp(text, TEXT_CORRUPTED) == 0) {
    // The run's verdict, not an entry: run_extract says it once the run is over.
  } else {
    // The run shows each entry's name once it is done with it; no "inflating" before
    // it means nothing was written.
    if (!entry_written && !quiet()) std::printf("   skipping: %s\n", printable(system::from_core_text(text)).c_str());
    entry_written = false;
    if (entries_done < archive.entry_count) bytes_done += archive.entries[entries_done++].stored_size;
    progress_update(bytes_done, entries_done);
  }
  std::fflush(stdout);
}

}  // namespace pack

}  // namespace kelvra
