// A libFuzzer program's entry point and answers: the ones decoded from the input in order,
// then a closed dialog, which cancels the run, so that no input keeps it asking forever.
#include <cstdio>

#include "archive/after_run.h"
#include "archive/extract.h"
#include "fuzz/targets.h"
#include "output/output.h"

namespace kelvra {

static std::vector<int> file_exists_answers;
static std::vector<fuzz::NewName> new_names;
static std::size_t next_answer = 0, next_name = 0, failures = 0;

void fuzz::script_questions(const std::vector<int>& answers, const std::vector<NewName>& names) {
  file_exists_answers = answers;
  new_names = names;
  next_answer = next_name = failures = 0;
}
std::size_t fuzz::write_failure_count() { return failures; }

int ask_file_exists(const char*) {
  const int answer = next_answer < file_exists_answers.size() ? file_exists_answers[next_answer++] : answer_closed;
  if (answer == answer_closed) cancel_requested = 1;  // as the dialog's close box does
  return answer;
}

void ask_new_name(char* path_buffer) {
  const fuzz::NewName name = next_name < new_names.size() ? new_names[next_name++] : fuzz::NewName{true, ""};
  if (name.cancelled) return;
  std::snprintf(path_buffer, format::path_buffer_size, "%s", name.path.c_str());
}

void report_write_failure(const char*, std::uint32_t) { ++failures; }
void entry_started(const char*) {}
void entry_done(const DirectoryEntry&) {}
void extraction_ended(int result) {
  if (result == 0) start_run_program();
}

}  // namespace kelvra

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return kelvra::fuzz::KELVRA_FUZZ_TARGET(data, size);
}
