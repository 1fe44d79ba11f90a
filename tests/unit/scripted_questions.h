// The tests' side of the questions put to the user: answers given in advance, and a
// record of every question and failure report with the working directory at the time.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace kelvra::scripted {

enum class CallKind { file_exists, new_name, write_failure };

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

// Clears the answers, the record and cancel_requested.
void reset();
void answer_file_exists(int answer);
void answer_new_name(const std::string& path);
void cancel_new_name();

const std::vector<Call>& calls();
std::vector<Call> calls_of(CallKind kind);
// Answers scripted but never asked for.
std::size_t unused_answers();

}  // namespace kelvra::scripted
