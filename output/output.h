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

enum class OverwritePolicy { ask,
                             replace_all,
                             skip_all };
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

enum class OutputResult : std::uint8_t { file,
                                         skip,
                                         failed };
// Eight bytes in the 32-bit stub, where that is returned in two registers instead of
// through memory.
struct OutputFile {
  OutputResult result;
  bool replacing;  // file is replacement_path, to take current_path's place
  union {
    platform::file_t file;  // OutputResult::file
    std::uint32_t error;    // OutputResult::failed: the platform's code
  };
};
// Where a replacing file is written until it is whole: beside the old one, its name
// and replacement_suffix, so that one left by a cut-short run says what it is. The
// suffix is ".kelvra-new" unless an entry of the archive being extracted ends so: a
// file of that name is deleted as a leftover, so the run picks the first of
// ".kelvra-new0001", ".kelvra-new0002", ... that no entry's name ends with.
constexpr std::size_t replacement_suffix_size = 16;
extern char replacement_suffix[replacement_suffix_size];
extern char replacement_path[format::path_buffer_size + replacement_suffix_size];
// Creates current_path new with attributes, applying the overwrite policy on a clash.
// A file that is replaced is created as replacement_path; the old one stays untouched
// until finish_output_file.
OutputFile create_output_file(std::uint8_t attributes);
// Sets the file's times and closes it. A replacement takes the old file's place when
// complete (and gets the times again by its final name, which the system may have
// given the old file's creation time), and is removed otherwise (the old file stays
// exactly as it was); a failure is reported.
// times: the last-write and then the creation FILETIME, as a directory entry holds them.
void finish_output_file(const OutputFile& out, bool complete, const std::uint64_t* times);
// How long a replace waits in all for a file held open elsewhere to be let go (a virus
// scanner looks at each new file as it is closed), in growing pauses.
constexpr std::uint32_t first_replace_pause = 16;
constexpr std::uint32_t replace_patience = 2032;  // 16 + 32 + ... + 1024 milliseconds

// The questions put to the user. Declared here, defined once per program: the stub's
// dialog and save-as prompt, the packer's terminal prompt, the tests' scripted answers.
int ask_file_exists(const char* path);
// May replace the 260-byte path_buffer with a new full path; cancelled: unchanged.
void ask_new_name(char* path_buffer);
// A failed write or creation of the named file (the stub's "Uh-Oh!" box).
void report_write_failure(const char* path, std::uint32_t error);

}  // namespace kelvra
