// The tests' definitions of ask_file_exists, ask_new_name and report_write_failure:
// scripted answers in order, every call recorded. An unscripted question fails the
// test and is answered as a closed dialog, so that a run can't loop forever. And of the
// run's reports: recorded as the installer's window would show them.
#include "tests/unit/scripted_questions.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "archive/after_run.h"
#include "archive/extract.h"
#include "output/output.h"
#include "resources/strings.h"

namespace kelvra::scripted {

namespace {

std::deque<int> file_exists_answers;
std::deque<NewName> new_names;
std::vector<Call> record;
std::vector<std::string> shown_texts;
std::vector<std::uint32_t> sizes;
std::vector<int> results;
void (*entry_hook)() = nullptr;
void (*question_hook)(const char*) = nullptr;
bool starting = true;

std::string working_directory() {
  char buffer[4096] = {};
  return getcwd(buffer, sizeof buffer) != nullptr ? buffer : "";
}

}  // namespace

void reset() {
  file_exists_answers.clear();
  new_names.clear();
  record.clear();
  shown_texts.clear();
  sizes.clear();
  results.clear();
  entry_hook = nullptr;
  question_hook = nullptr;
  starting = true;
  cancel_requested = 0;
}

void answer_file_exists(int answer) { file_exists_answers.push_back(answer); }
void answer_new_name(const std::string& path) { new_names.push_back({false, path}); }
void cancel_new_name() { new_names.push_back({true, ""}); }

const std::vector<Call>& calls() { return record; }

std::vector<Call> calls_of(CallKind kind) {
  std::vector<Call> out;
  for (const Call& call : record)
    if (call.kind == kind) out.push_back(call);
  return out;
}

std::size_t unused_answers() { return file_exists_answers.size() + new_names.size(); }

std::vector<std::string>& shown() { return shown_texts; }
const std::vector<std::uint32_t>& done_sizes() { return sizes; }
const std::vector<int>& endings() { return results; }
void after_each_entry(void (*hook)()) { entry_hook = hook; }
void while_file_exists_asked(void (*hook)(const char* path)) { question_hook = hook; }
void start_after_run(bool start) { starting = start; }

}  // namespace kelvra::scripted

namespace kelvra {

using namespace scripted;

int ask_file_exists(const char* path) {
  record.push_back({CallKind::file_exists, path, working_directory(), 0});
  if (question_hook != nullptr) question_hook(path);
  if (file_exists_answers.empty()) {
    ADD_FAILURE() << "unscripted question for " << path;
    cancel_requested = 1;
    return answer_closed;
  }
  int answer = file_exists_answers.front();
  file_exists_answers.pop_front();
  if (answer == answer_closed) cancel_requested = 1;
  return answer;
}

void ask_new_name(char* path_buffer) {
  record.push_back({CallKind::new_name, path_buffer, working_directory(), 0});
  if (new_names.empty()) {
    ADD_FAILURE() << "unscripted rename prompt for " << path_buffer;
    return;
  }
  NewName name = new_names.front();
  new_names.pop_front();
  if (name.cancelled) return;
  std::memset(path_buffer, 0, format::path_buffer_size);
  std::strncpy(path_buffer, name.path.c_str(), format::path_buffer_size - 1);
}

void report_write_failure(const char* path, std::uint32_t error) {
  record.push_back({CallKind::write_failure, path, working_directory(), error});
}

void entry_started(const char* path) { shown_texts.push_back(std::string(TEXT_INFLATING) + path); }

void entry_done(const DirectoryEntry& entry) {
  shown_texts.push_back(entry.name);
  sizes.push_back(entry.stored_size);
  if (entry_hook != nullptr) entry_hook();
}

void extraction_ended(int result) {
  results.push_back(result);
  if (result == 0 && starting) start_run_program();
  if (result == 1) shown_texts.push_back(TEXT_CANCELLED);
  if (result == 2) shown_texts.push_back(TEXT_CORRUPTED);
}

}  // namespace kelvra
