// Where extracted files go: entry paths and their parent directories, create-new, and
// the overwrite policy with its replace and rename steps.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/format.h"
#include "platform/platform.h"

namespace kelvra {

// The path of the entry being written, relative to the working directory unless the
// rename prompt made it absolute.
extern char current_path[format::path_buffer_size];

enum class OverwritePolicy { ask, replace_all, skip_all };
extern OverwritePolicy overwrite_policy;

// Answers of the "File Exists" question.
enum FileExistsAnswer : int {
  answer_closed = -1,
  answer_replace = 1,
  answer_skip = 2,
  answer_replace_all = 3,
  answer_skip_all = 4,
  answer_rename = 5,
};

// Positions just after the first / last separator (\ preferred; / only when the text
// holds no \ at all); 0 when there is none.
std::size_t first_separator_end(const char* text);
std::size_t last_separator_end(const char* text);
// Creates the missing directories of path's directory part; reports nothing.
void make_parent_directories(const char* path);

// Whether a folder part of path is a link (never written through). An absolute path
// is the one the user chose in the rename prompt: its folders are theirs and only its
// last part is looked at when replacing.
bool has_linked_folder(const char* path);

enum class OutputResult { file, skip, failed };
struct OutputFile {
  OutputResult result;
  platform::file_t file;    // valid only for OutputResult::file
  std::uint32_t error;      // the platform's code for OutputResult::failed
  bool replacing;           // file is replacement_path, to take current_path's place
};
// Where a replacing file is written until it is whole: beside the old one, named so
// that one left by a cut-short run says what it is.
constexpr char replacement_suffix[] = ".kelvra-new";
extern char replacement_path[format::path_buffer_size + sizeof replacement_suffix];
// Creates current_path new with attributes, applying the overwrite policy on a clash.
// A file that is replaced is created as replacement_path; the old one stays untouched
// until finish_output_file.
OutputFile create_output_file(std::uint8_t attributes);
// Closes the file. A replacement takes the old file's place when complete, and is
// removed otherwise (the old file stays exactly as it was); a failure is reported.
void finish_output_file(const OutputFile& out, bool complete);

// The questions put to the user. Declared here, defined once per program: the stub's
// dialog and save-as prompt, the packer's terminal prompt, the tests' scripted answers.
int ask_file_exists(const char* path);
// May replace the 260-byte path_buffer with a new full path; cancelled: unchanged.
void ask_new_name(char* path_buffer);
// A failed write or creation of the named file (the stub's "Uh-Oh!" box).
void report_write_failure(const char* path, std::uint32_t error);

}  // namespace kelvra
