// The system layer's files: opening, creating, replacing and removing them by the
// paths the packer holds (UTF-8 on Windows, the file system's own bytes on Linux), with
// the system's reason when that fails. Apart from the rest of the system layer so that
// the writer, which the tests and fuzzers link without the packer, can use it too.
// Two implementations: files_posix.cpp and files_win32.cpp.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace kelvra::pack::system {

std::FILE* open_file(const std::string& path, const char* mode);
// An input to read whole: only a regular file, opened without waiting (a pipe or a
// device put in its place would block or never end). Its size in *size; null with the
// reason in *reason when it can't be opened so.
std::FILE* open_regular_input(const std::string& path, std::uint64_t* size, std::string* reason);
// Creates path new for writing, failing when anything is there (*exists tells). Others
// may delete it while it is open, so that an interrupted run can take it away.
std::FILE* create_new_file(const std::string& path, bool* exists, std::string* reason);
// Gives from's file the name to, replacing whatever was there. Empty, or the reason.
std::string replace_file(const std::string& from, const std::string& to);
void remove_file(const std::string& path);
// The size of the file at path, links followed; false when it can't be told.
bool file_size(const std::string& path, std::uint64_t* size);
// Empty when path is a regular file, else why not (a pipe, a device, a folder). Never
// waits on a FIFO, as opening one for reading would.
std::string regular_file_problem(const std::string& path);
// 64-bit positioning of a stdio stream.
bool seek_file(std::FILE* file, std::uint64_t position);
bool file_end(std::FILE* file, std::uint64_t* size);
// size bytes at position into buffer; false when the file ends or fails first.
inline bool read_at(std::FILE* file, std::uint64_t position, void* buffer, std::size_t size) {
  return seek_file(file, position) && std::fread(buffer, 1, size, file) == size;
}

// A stdio stream closed when the guard goes.
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;
// The text of errno's current value.
std::string last_error();

#ifdef _WIN32
// UTF-8 and the UTF-16 of Windows' wide calls, and the system's words for an error
// code (GetLastError), in UTF-8 and without the closing period.
std::wstring wide(const std::string& utf8);
std::string utf8(const wchar_t* text, std::size_t count);
inline std::string utf8(const std::wstring& text) { return utf8(text.data(), text.size()); }
std::string error_text(unsigned long code);
#endif

}  // namespace kelvra::pack::system
