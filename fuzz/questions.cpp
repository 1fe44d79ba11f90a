// The fuzzers' answers to the questions put to the user: the ones decoded from the
// input, in order; a question past them counts as a closed dialog, which cancels the
// run, so that no input can keep a run asking forever. The run's reports go nowhere but
// the start of the after-run program, which the platform records.
#include <cstring>
#include <deque>

#include "archive/after_run.h"
#include "archive/extract.h"
#include "fuzz/targets.h"
#include "output/output.h"

namespace kelvra::fuzz {

namespace {

std::deque<int> file_exists_answers;
std::deque<NewName> new_names;
std::size_t failures = 0;

}  // namespace

void script_questions(const std::vector<int>& answers, const std::vector<NewName>& names) {
  file_exists_answers.assign(answers.begin(), answers.end());
  new_names.assign(names.begin(), names.end());
  failures = 0;
  cancel_requested = 0;
}

std::size_t write_failure_count() { return failures; }

}  // namespace kelvra::fuzz

namespace kelvra {

int ask_file_exists(const char*) {
  int answer = answer_closed;
  if (!fuzz::file_exists_answers.empty()) {
    answer = fuzz::file_exists_answers.front();
    fuzz::file_exists_answers.pop_front();
  }
  // As the dialog does when its close box is used.
  if (answer == answer_closed) cancel_requested = 1;
  return answer;
}

void ask_new_name(char* path_buffer) {
  if (fuzz::new_names.empty()) return;
  const fuzz::NewName name = fuzz::new_names.front();
  fuzz::new_names.pop_front();
  if (name.cancelled) return;
  std::memset(path_buffer, 0, format::path_buffer_size);
  std::strncpy(path_buffer, name.path.c_str(), format::path_buffer_size - 1);
}

void report_write_failure(const char*, std::uint32_t) { ++fuzz::failures; }

void entry_started(const char*) {}
void entry_done(const DirectoryEntry&) {}
void extraction_ended(int result) {
  if (result == 0) start_run_program();
}

}  // namespace kelvra
