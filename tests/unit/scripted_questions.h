// The tests' side of the questions put to the user and of the extraction run's reports:
// answers given in advance, a record of every question and failure report with the
// working directory at the time, and the run's reports as the installer's window would
// show them.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace kelvra::scripted {

enum class CallKind { file_exists,
                      new_name,
                      write_failure };

struct Call {
  CallKind kind;
  std::string path;               // the path asked about or reported
  std::string working_directory;  // at the time of the call
  std::uint32_t error;            // write_failure only
};

// A name for the rename prompt; cancelled leaves the path as it was.
struct NewName {
  bool cancelled;
  std::string path;
};

// Clears the answers, the records, the hook and cancel_requested.
void reset();
void answer_file_exists(int answer);
void answer_new_name(const std::string& path);
void cancel_new_name();

const std::vector<Call>& calls();
std::vector<Call> calls_of(CallKind kind);
// Answers scripted but never asked for.
std::size_t unused_answers();

// The run's reports in the texts the installer's message area would hold, in order:
// "  inflating: " and the path for an entry started, the stored name for an entry done,
// "Cancelled by user." or "This file is corrupted." for a run that ended so. A
// complete run's end starts the after-run program, which the platform records.
std::vector<std::string>& shown();
// The stored size of each entry done, in order; extraction_ended's results, in order.
const std::vector<std::uint32_t>& done_sizes();
const std::vector<int>& endings();
// Whether a complete run's end starts the after-run program (true until reset).
void start_after_run(bool start);
// Called after each entry_done is recorded (nullptr: nothing), between two entries.
void after_each_entry(void (*hook)());
// Called with the path of each "File Exists" question before it is answered (nullptr:
// nothing): the user's files may change while the question is open.
void while_file_exists_asked(void (*hook)(const char* path));

}  // namespace kelvra::scripted
