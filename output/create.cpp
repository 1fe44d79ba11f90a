// Output file creation: every file is created new; a clash is settled by the overwrite
// policy or by the user's answer (replace, skip, or rename and try again).
#include <cstring>

#include "output/output.h"

namespace kelvra {

char replacement_suffix[replacement_suffix_size] = ".kelvra-new";
char replacement_path[format::path_buffer_size + replacement_suffix_size];

namespace {

// strcmp's equality, kept here to spare the stub an import.
bool same_text(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

OutputFile skip() {
  OutputFile out;
  out.result = OutputResult::skip;
  out.replacing = false;
  out.file = platform::invalid_file;
  return out;
}

OutputFile failed(std::uint32_t error) {
  OutputFile out;
  out.result = OutputResult::failed;
  out.replacing = false;
  out.error = error;
  return out;
}

// Creates path new. *exists tells a clash apart from any other failure.
OutputFile create_new(const char* path, std::uint8_t attributes, bool* exists) {
  platform::file_t file = platform::invalid_file;
  std::uint32_t error = 0;
  platform::CreateResult result = platform::create_new_file(path, attributes, &file, &error);
  *exists = result == platform::CreateResult::exists;
  if (result != platform::CreateResult::created) return failed(error);
  OutputFile out;
  out.result = OutputResult::file;
  out.replacing = false;
  out.file = file;
  return out;
}

// The old file is left alone until the new one is whole (finish_output_file). A link
// in its place is not the user's file: the link itself goes, and the entry is written
// as new. A folder in its place can't be replaced, which is a failure, not a skip.
OutputFile replace_existing(std::uint8_t attributes) {
  bool exists = false;
  switch (platform::name_kind(current_path)) {
    case platform::NameKind::directory:
      return failed(platform::error_directory_in_place);
    case platform::NameKind::link:
      if (!platform::delete_file(current_path)) return failed(platform::error_link_in_path);
      return create_new(current_path, attributes, &exists);
    case platform::NameKind::none:
      // Gone since the clash: written as new, unless something took the name again.
      {
        OutputFile out = create_new(current_path, attributes, &exists);
        return exists ? skip() : out;
      }
    default:
      break;
  }
  const std::size_t length = std::strlen(current_path);
  const std::size_t suffix_length = std::strlen(replacement_suffix);
  if (length + suffix_length >= format::path_buffer_size) return failed(platform::error_name_too_long);
  std::memcpy(replacement_path, current_path, length);
  std::memcpy(replacement_path + length, replacement_suffix, suffix_length + 1);
  // One left by a run cut short is ours to drop, read-only as its entry may have made
  // it; a folder of that name is not.
  if (platform::name_kind(replacement_path) != platform::NameKind::directory) {
    platform::set_attributes_normal(replacement_path);
    platform::delete_file(replacement_path);
  }
  OutputFile out = create_new(replacement_path, attributes, &exists);
  out.replacing = out.result == OutputResult::file;
  return out;
}

OutputFile rename_and_retry(std::uint8_t attributes) {
  // The prompt opens in the working directory, so it is moved to where the clashing
  // file lies for the question and put back afterwards, whatever happens.
  bool moved = false;
  std::size_t dir_end = last_separator_end(current_path);
  if (dir_end > 0 && platform::save_working_directory()) {
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
  if (moved && same_text(asked, current_path)) {
    platform::restore_working_directory();
    moved = false;
  }

  OutputFile out = create_output_file(attributes);
  if (moved) platform::restore_working_directory();
  return out;
}

}  // namespace

bool has_linked_folder(const char* path) {
  if (path[0] == '\\' || path[0] == '/' || (path[0] != '\0' && path[1] == ':')) return false;
  // Every separator of either kind ends a part to look at: a system that takes both
  // would otherwise go through a link before the first backslash unseen.
  char prefix[format::path_buffer_size];
  for (std::size_t i = 0; path[i] != '\0' && i < sizeof prefix; ++i) {
    if (path[i] == '\\' || path[i] == '/') {
      prefix[i] = '\0';
      if (platform::name_kind(prefix) == platform::NameKind::link) return true;
    }
    prefix[i] = path[i];
  }
  return false;
}

OutputFile create_output_file(std::uint8_t attributes) {
  if (platform::opens_follow_folder_links && has_linked_folder(current_path)) {
    return failed(platform::error_link_in_path);
  }
  make_parent_directories(current_path);

  bool exists = false;
  OutputFile out = create_new(current_path, attributes, &exists);
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

void finish_output_file(const OutputFile& out, bool complete, const std::uint64_t* times) {
  platform::set_file_times(out.file, times[1], times[0]);
  platform::close_file(out.file);
  if (!out.replacing) return;
  std::uint32_t error = 0;
  // An incomplete file was reported already: it goes as quietly as one that can't
  // take the old one's place because that is held open elsewhere.
  platform::ReplaceResult result = platform::ReplaceResult::in_use;
  // A file held open for a moment (a scanner's look) is waited for, a little longer
  // each time, before the old file is taken to be in use.
  std::uint32_t waited = 0;
  for (std::uint32_t pause = first_replace_pause; complete; pause *= 2) {
    result = platform::replace_file(replacement_path, current_path, &error);
    if (result != platform::ReplaceResult::in_use || waited >= replace_patience) break;
    platform::pause(pause);
    waited += pause;
  }
  if (result == platform::ReplaceResult::replaced) {
    // NTFS gives a file that takes the name of one deleted moments ago that file's
    // creation time.
    platform::set_file_times_at(current_path, times[1], times[0]);
    return;
  }
  platform::set_attributes_normal(replacement_path);
  platform::delete_file(replacement_path);
  // Held open elsewhere: skipped quietly, as before.
  if (result == platform::ReplaceResult::failed) report_write_failure(current_path, error);
}

}  // namespace kelvra
