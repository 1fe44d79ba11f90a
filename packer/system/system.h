// What kelvra-pack needs from the operating system beyond the core's platform layer.
// Two implementations, system/posix.cpp (Linux) and system/win32.cpp (Windows); they
// also define the code-page conversions and terminal tests below.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "packer/system/files.h"
#include "platform/platform.h"

namespace kelvra::pack::system {

// The program's arguments in UTF-8 (Windows hands them over in UTF-16); also readies
// the console for UTF-8 text and line erasing there. Call once, first thing.
std::vector<std::string> arguments(int argc, char** argv);

// Paths. The packer holds every path as a string: UTF-8 on Windows, the file
// system's own bytes on Linux. These turn one into a std::filesystem path and back.
std::filesystem::path to_path(const std::string& text);
std::string from_path(const std::filesystem::path& path);
// Whether a path typed by the user stands on its own, and the separator to join with.
bool is_absolute(const std::string& path);
extern const char separator;

// The core's platform layer takes paths in the system's narrow encoding: the bytes
// as they are here, the ANSI code page on Windows. False when the path can't be
// written in it.
bool to_core_path(const std::string& path, std::string* out);
// Text from the core's platform layer (paths, messages, system error texts) as the
// packer prints it: UTF-8 on Windows too.
std::string from_core_text(const char* text);
// A stored name (bytes in codepage) as the core's platform layer is to create it:
// UTF-8 here, the ANSI code page on Windows. False when it can't be written so.
bool stored_name_to_core(const std::string& stored, unsigned codepage, std::string* out);

// UTF-8 text with its case folded as Windows compares file names: each character's
// simple upper case.
std::string fold_case(const std::string& utf8);

// Times and the read-only flag of a file, following links. Creation is the birth time
// where the file system keeps one, else the last-write time. Times are FILETIMEs.
struct FileFacts {
  std::uint64_t last_write_time = 0;
  std::uint64_t creation_time = 0;
  bool read_only = false;
  std::uint64_t size = 0;
};
// Empty on success, else the system's reason.
std::string file_facts(const std::string& path, FileFacts* facts);

// An installer opened for the core's reader, and the working directory entered, by
// paths as the packer holds them: on Windows also where the ANSI code page can't
// spell the path.
platform::file_t open_installer(const std::string& path);
bool enter_directory(const std::string& path);

// Interruption: on Ctrl+C (and on POSIX also SIGTERM and SIGHUP) the file named by
// path_of(), when it names one, is removed before the program ends, and so is also's
// (while a second file is at stake, as when signing). Both must be safe to call at any
// moment (a fixed buffer, as the writer keeps its temporary path).
void remove_on_interrupt(const char* (*path_of)(), const char* (*also)() = nullptr);

// One line of standard input with echo off when it is a terminal; *was_terminal says
// whether it was. False at the end of input.
bool read_line_quietly(std::string* line, bool* was_terminal);

// Runs command through the system's shell, its standard output and error together in
// *output. Returns its exit status, or -1 when it could not be started.
int run_shell(const std::string& command, std::string* output);
// A path as one word of that shell's command line, which the shell hands over as it
// is. cmd has no escape for % inside quotes, so there the path is put in the
// environment variable named variable and the word expands it: "%variable%" (cmd reads
// what it expands only once, so nothing in the path acts).
std::string shell_quoted(const std::string& path, const char* variable);
// The characters that open and close quotes in that shell, and its escape character.
extern const char* const shell_quotes;
extern const char shell_escape;

}  // namespace kelvra::pack::system

namespace kelvra::pack {

// Code pages: Windows ANSI code page numbers, converted with iconv ("CP1252").
bool codepage_known(unsigned codepage);
// False when text isn't valid UTF-8 or the code page can't hold one of its characters.
bool to_codepage(const std::string& utf8, unsigned codepage, std::string* out);
// Bytes the code page leaves undefined come out as U+FFFD.
std::string from_codepage(const std::string& bytes, unsigned codepage);

bool stdin_is_terminal();
bool stderr_is_terminal();
// One line of standard input without its line end; false at the end of input.
bool read_line(std::string* line);
// The same from a stream (a pipe or a file), LF or CRLF ended.
bool read_stream_line(std::FILE* stream, std::string* line);

}  // namespace kelvra::pack
