// The tests' definitions of the questions and the run's reports. An unscripted
// question fails the test and is answered as a closed dialog, so that no run loops.
#include "tests/unit/scripted_questions.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <deque>

#include "archive/after_run.h"
#include "archive/extract.h"
#include "output/output.h"
#include "resources/strings.h"

namespace kelvra::scripted {

namespace {

std::deque<int> file_exists_answers;
std::deque<std::pair<bool, std::string>> new_names;  // cancelled, name
std::vector<Call> record;
std::vector<std::string> shown_texts;
void (*entry_hook)() = nullptr;
void (*question_hook)(const char*) = nullptr;

void add(CallKind kind, const char* path, std::uint32_t error) {
  char directory[4096] = {};
  record.push_back({kind, path, getcwd(directory, sizeof directory) != nullptr ? directory : "", error});
}

}  // namespace

void reset() {
  file_exists_answers.clear();
  new_names.clear();
  record.clear();
  shown_texts.clear();
  entry_hook = nullptr;
  question_hook = nullptr;
  cancel_requested = 0;
}

void answer_file_exists(int answer) { file_exists_answers.push_back(answer); }
void answer_new_name(const std::string& path) { new_names.push_back({false, path}); }
void cancel_new_name() { new_names.push_back({true, ""}); }
const std::vector<Call>& calls() { return record; }
std::size_t unused_answers() { return file_exists_answers.size() + new_names.size(); }
std::vector<std::string>& shown() { return shown_texts; }
void after_each_entry(void (*hook)()) { entry_hook = hook; }
void while_file_exists_asked(void (*hook)(const char* path)) { question_hook = hook; }

std::vector<Call> calls_of(CallKind kind) {
  std::vector<Call> out;
  for (const Call& call : record)
    if (call.kind == kind) out.push_back(call);
  return out;
}

}  // namespace kelvra::scripted

namespace kelvra {

using namespace scripted;

int ask_file_exists(const char* path) {
  add(CallKind::file_exists, path, 0);
  if (question_hook != nullptr) question_hook(path);
  int answer = answer_closed;
  if (file_exists_answers.empty()) {
    ADD_FAILURE() << "unscripted question for " << path;
  } else {
    answer = file_exists_answers.front();
    file_exists_answers.pop_front();
  }
  if (answer == answer_closed) cancel_requested = 1;
  return answer;
}

void ask_new_name(char* path_buffer) {
  add(CallKind::new_name, path_buffer, 0);
  if (new_names.empty()) {
    ADD_FAILURE() << "unscripted rename prompt for " << path_buffer;
    return;
  }
  const auto [cancelled, name] = new_names.front();
  new_names.pop_front();
  if (cancelled) return;
  std::memset(path_buffer, 0, format::path_buffer_size);
  std::strncpy(path_buffer, name.c_str(), format::path_buffer_size - 1);
}

void report_write_failure(const char* path, std::uint32_t error) { add(CallKind::write_failure, path, error); }

void entry_started(const char* path) { shown_texts.push_back(std::string(TEXT_INFLATING) + path); }

void entry_done(const DirectoryEntry& entry) {
  shown_texts.push_back(entry.name);
  if (entry_hook != nullptr) entry_hook();
}

void extraction_ended(int result) {
  if (result == 0) start_run_program();
  if (result == 1) shown_texts.push_back(TEXT_CANCELLED);
  if (result == 2) shown_texts.push_back(TEXT_CORRUPTED);
}

}  // namespace kelvra
