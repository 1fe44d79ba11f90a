// Output file creation: every file is created new; a clash is settled by the overwrite
// policy or by the user's answer (replace, skip, or rename and try again).
#include <cstring>

#include "output/output.h"

namespace kelvra {

namespace {

OutputFile make_result(OutputResult result, platform::file_t file, std::uint32_t error) {
  OutputFile out;
  out.result = result;
  out.file = file;
  out.error = error;
  return out;
}

OutputFile skip() { return make_result(OutputResult::skip, platform::invalid_file, 0); }

// Creates current_path new. *exists tells a clash apart from any other failure.
OutputFile create_new(std::uint8_t attributes, bool* exists) {
  platform::file_t file = platform::invalid_file;
  std::uint32_t error = 0;
  platform::CreateResult result =
      platform::create_new_file(current_path, attributes, &file, &error);
  *exists = result == platform::CreateResult::exists;
  if (result == platform::CreateResult::created) return make_result(OutputResult::file, file, 0);
  return make_result(OutputResult::failed, platform::invalid_file, error);
}

// A file that can't be made normal or deleted (held open elsewhere, say) is skipped
// quietly, and stays as it was: its attributes go back on. Once it is gone, failing
// to create it again is a real failure.
OutputFile replace_existing(std::uint8_t attributes) {
  std::uint32_t old_attributes = 0;
  const bool known = platform::get_attributes(current_path, &old_attributes);
  if (!platform::set_attributes_normal(current_path)) return skip();
  if (!platform::delete_file(current_path)) {
    if (known) platform::set_attributes(current_path, old_attributes);
    return skip();
  }
  bool exists = false;
  OutputFile out = create_new(attributes, &exists);
  if (out.result == OutputResult::file) return out;
  // Something recreated it in between: no file of ours, and nothing written.
  if (exists) return skip();
  return out;
}

OutputFile rename_and_retry(std::uint8_t attributes) {
  // The prompt opens in the working directory, so it is moved to where the clashing
  // file lies for the question and put back afterwards, whatever happens.
  char saved_directory[format::path_buffer_size] = {};
  bool moved = false;
  std::size_t dir_end = last_separator_end(current_path);
  if (dir_end > 0 && platform::get_working_directory(saved_directory, sizeof saved_directory)) {
    char directory[format::path_buffer_size] = {};
    std::memcpy(directory, current_path, dir_end < sizeof directory ? dir_end : sizeof directory - 1);
    moved = platform::set_working_directory(directory);
  }

  char asked[format::path_buffer_size] = {};
  std::memcpy(asked, current_path, sizeof asked - 1);
  ask_new_name(current_path);
  current_path[sizeof current_path - 1] = '\0';

  // An unchanged name is relative to the target directory, not to the one the prompt
  // opened in: going back first keeps sub\a.txt from turning into sub\sub\a.txt.
  if (moved && std::strcmp(asked, current_path) == 0) {
    platform::set_working_directory(saved_directory);
    moved = false;
  }

  OutputFile out = create_output_file(attributes);
  if (moved) platform::set_working_directory(saved_directory);
  return out;
}

}  // namespace

OutputFile create_output_file(std::uint8_t attributes) {
  make_parent_directories(current_path);

  bool exists = false;
  OutputFile out = create_new(attributes, &exists);
  if (out.result == OutputResult::file || !exists) return out;

  if (overwrite_policy == OverwritePolicy::replace_all) return replace_existing(attributes);
  if (overwrite_policy == OverwritePolicy::skip_all) return skip();

  for (;;) {
    switch (ask_file_exists(current_path)) {
      case answer_replace:
        return replace_existing(attributes);
      case answer_replace_all:
        overwrite_policy = OverwritePolicy::replace_all;
        return replace_existing(attributes);
      case answer_skip:
        return skip();
      case answer_skip_all:
        overwrite_policy = OverwritePolicy::skip_all;
        return skip();
      case answer_closed:
        // The question has set cancel_requested; the run stops after this entry.
        return skip();
      case answer_rename:
        return rename_and_retry(attributes);
      default:
        // Anything outside the list is no answer: ask again.
        break;
    }
  }
}

}  // namespace kelvra
