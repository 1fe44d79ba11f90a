// The tests' side of the questions put to the user and of the run's reports: answers
// given in advance, every question and failure report recorded with the working
// directory of the time, and the texts the installer's message area would show.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra::scripted {

enum class CallKind { file_exists,
                      new_name,
                      write_failure };

struct Call {
  CallKind kind;
  std::string path;
  std::string working_directory;
  std::uint32_t error;  // write_failure only
};

// Clears the answers, the records, the hooks and cancel_requested.
void reset();
void answer_file_exists(int answer);
void answer_new_name(const std::string& path);
// The rename prompt is closed: the path stays as it was.
void cancel_new_name();

const std::vector<Call>& calls();
std::vector<Call> calls_of(CallKind kind);
std::size_t unused_answers();

// "  inflating: " and the path for an entry started, its stored name once done,
// "Cancelled by user." or "This file is corrupted." for a run that ended so. A
// complete run's end starts the after-run program, which the platform records.
std::vector<std::string>& shown();
// Run between two entries, once the first one's done is recorded.
void after_each_entry(void (*hook)());
// Run while a "File Exists" question is open, with its path.
void while_file_exists_asked(void (*hook)(const char* path));

}  // namespace kelvra::scripted
