// kelvra-pack on Windows: UTF-16 arguments and paths held as UTF-8, file facts from
// GetFileAttributesExW, the console read in UTF-16, and code pages converted by the
// system so that they give the same bytes as iconv does on Linux.
// Contains: arguments, paths, file facts, interruption, the terminal, code pages, and
// the message listener (a link-time wrap of the main-window repaint).
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <io.h>
#include <shellapi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "packer/packer.h"
#include "packer/system/system.h"

namespace kelvra::pack {

namespace {

using system::utf8;
using system::wide;

// Strict UTF-8 to UTF-16: false at a byte sequence that isn't UTF-8.
bool strict_wide(const std::string& text, std::wstring* out) {
  out->clear();
  if (text.empty()) return true;
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (length == 0) return false;
  out->resize(static_cast<std::size_t>(length));
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, out->data(), length);
  return true;
}

// Windows fills the holes of its single-byte code pages with C1 controls (0x81 is
// U+0081 in 1252) and some with private-use characters; iconv calls those bytes
// undefined. They count as undefined both ways here, so both systems agree.
bool hole_filler(wchar_t c) { return (c >= 0x80 && c <= 0x9F) || (c >= 0xE000 && c <= 0xF8FF); }

// UTF-16 into a code page, refusing what it can't hold: no best fit ("A" for "Ä"),
// and no default character in its place.
bool narrow(const std::wstring& text, unsigned codepage, std::string* out) {
  out->clear();
  if (text.empty()) return true;
  for (wchar_t c : text) {
    if (hole_filler(c)) return false;
  }
  const int size = static_cast<int>(text.size());
  if (codepage == CP_UTF8) {
    *out = utf8(text);
    return true;
  }
  BOOL used_default = FALSE;
  const int length = WideCharToMultiByte(codepage, WC_NO_BEST_FIT_CHARS, text.data(), size, nullptr, 0,
                                         nullptr, &used_default);
  if (length == 0 || used_default) return false;
  out->resize(static_cast<std::size_t>(length));
  WideCharToMultiByte(codepage, WC_NO_BEST_FIT_CHARS, text.data(), size, out->data(), length, nullptr,
                      &used_default);
  return !used_default;
}

// Code-page bytes to UTF-16, one character at a time so that each undefined byte (or
// half a double-byte character) becomes one U+FFFD, as iconv's reading does.
std::wstring widen(const std::string& bytes, unsigned codepage) {
  std::wstring out;
  for (std::size_t at = 0; at < bytes.size();) {
    const auto first = static_cast<unsigned char>(bytes[at]);
    const std::size_t length = IsDBCSLeadByteEx(codepage, first) && at + 1 < bytes.size() ? 2 : 1;
    wchar_t converted[4];
    const int count = MultiByteToWideChar(codepage, MB_ERR_INVALID_CHARS, bytes.data() + at,
                                          static_cast<int>(length), converted, 4);
    if (count == 1 && !(first >= 0x80 && hole_filler(converted[0]))) {
      out += converted[0];
      at += length;
    } else if (count == 2 && length == 2) {
      out.append(converted, 2);
      at += length;
    } else {
      out += L'\xFFFD';
      at += 1;
    }
  }
  return out;
}

const char* (*interrupted_paths[2])() = {nullptr, nullptr};

// Runs on a thread of its own while the writer's threads go on. The writer opens its
// temporary file deletable while open, so it goes now. The program then ends at once
// with the status Windows gives an interrupted program: an orderly exit would flush
// streams whose locks those threads may hold.
BOOL WINAPI remove_partial_output(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  for (const char* (*path_of)() : interrupted_paths) {
    const char* path = path_of != nullptr ? path_of() : "";
    if (path[0] != '\0') DeleteFileW(wide(path).c_str());
  }
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

bool console(DWORD which, HANDLE* handle) {
  *handle = GetStdHandle(which);
  DWORD mode = 0;
  return *handle != INVALID_HANDLE_VALUE && *handle != nullptr && GetConsoleMode(*handle, &mode);
}

// A line from the console in UTF-16, so any character typed arrives intact.
bool read_console_line(HANDLE input, std::string* line) {
  line->clear();
  std::wstring text;
  for (;;) {
    wchar_t buffer[256];
    DWORD got = 0;
    if (!ReadConsoleW(input, buffer, 256, &got, nullptr) || got == 0) break;
    text.append(buffer, got);
    if (text.back() == L'\n') break;
  }
  // Ctrl+Z at the start of a line is the console's end of input.
  if (text.empty() || text[0] == 0x1A) return false;
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  *line = utf8(text);
  return true;
}

}  // namespace

namespace system {

std::vector<std::string> arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** texts = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> out;
  if (texts == nullptr) return {argv, argv + argc};
  for (int i = 0; i < count; ++i) out.push_back(utf8(texts[i], std::wcslen(texts[i])));
  LocalFree(texts);

  // UTF-8 text to the console, and the progress line's "erase to the end".
  SetConsoleOutputCP(CP_UTF8);
  HANDLE error_output;
  if (console(STD_ERROR_HANDLE, &error_output)) {
    DWORD mode = 0;
    GetConsoleMode(error_output, &mode);
    SetConsoleMode(error_output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  }
  return out;
}

std::filesystem::path to_path(const std::string& text) { return std::filesystem::path(wide(text)); }
std::string from_path(const std::filesystem::path& path) { return utf8(path.native()); }

bool is_absolute(const std::string& path) {
  if (!path.empty() && (path[0] == '\\' || path[0] == '/')) return true;
  return path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}
const char separator = '\\';

bool to_core_path(const std::string& path, std::string* out) {
  std::wstring text;
  return strict_wide(path, &text) && narrow(text, GetACP(), out);
}

std::string from_core_text(const char* text) { return utf8(widen(text, GetACP())); }

// The installer itself hands the stored bytes to the system as they are; so does
// this when the archive's code page is the system's.
// The same mapping as the file system's: each UTF-16 unit's simple upper case.
std::string fold_case(const std::string& utf8_text) {
  std::wstring text;
  if (!strict_wide(utf8_text, &text)) return utf8_text;
  if (!text.empty()) CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
  return utf8(text);
}

bool stored_name_to_core(const std::string& stored, unsigned codepage, std::string* out) {
  if (codepage == GetACP()) {
    *out = stored;
    return true;
  }
  const std::wstring text = widen(stored, codepage);
  return text.find(L'\xFFFD') == std::wstring::npos && narrow(text, GetACP(), out);
}

std::string file_facts(const std::string& path, FileFacts* facts) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data)) {
    return error_text(GetLastError());
  }
  const auto filetime = [](const FILETIME& t) {
    return static_cast<std::uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime;
  };
  facts->last_write_time = filetime(data.ftLastWriteTime);
  // A file system without creation times reports zero.
  facts->creation_time = filetime(data.ftCreationTime);
  if (facts->creation_time == 0) facts->creation_time = facts->last_write_time;
  facts->read_only = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  facts->size = static_cast<std::uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
  return {};
}

platform::file_t open_installer(const std::string& path) {
  // As the core opens its own file: read-only, shared for reading and writing.
  const HANDLE handle = CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return handle == INVALID_HANDLE_VALUE ? platform::invalid_file : reinterpret_cast<platform::file_t>(handle);
}

bool enter_directory(const std::string& path) { return SetCurrentDirectoryW(wide(path).c_str()) != 0; }

void remove_on_interrupt(const char* (*path_of)(), const char* (*also)()) {
  interrupted_paths[0] = path_of;
  interrupted_paths[1] = also;
  SetConsoleCtrlHandler(remove_partial_output, TRUE);
}

bool read_line_quietly(std::string* line, bool* was_terminal) {
  HANDLE input;
  DWORD mode = 0;
  *was_terminal = console(STD_INPUT_HANDLE, &input) && GetConsoleMode(input, &mode);
  if (!*was_terminal) return read_line(line);
  SetConsoleMode(input, (mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT);
  const bool got = read_console_line(input, line);
  SetConsoleMode(input, mode);
  return got;
}

int run_shell(const std::string& command, std::string* output) {
  output->clear();
  std::fflush(stdout);
  // cmd /c strips one pair of quotes around the whole line: the extra pair keeps the
  // command's own quotes.
  std::FILE* pipe = _wpopen(wide("\"" + command + " 2>&1\"").c_str(), L"rb");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, got);
  return _pclose(pipe);
}

const char* const shell_quotes = "\"";
const char shell_escape = '^';

// A Windows path holds no '"', so inside quotes only cmd's % expansion could reach it;
// expanded from a variable, the path is not looked at again.
std::string shell_quoted(const std::string& path, const char* variable) {
  // _wputenv sets the C runtime's copy too, which _wpopen may hand to cmd.
  _wputenv((wide(variable) + L"=" + wide(path)).c_str());
  return std::string("\"%") + variable + "%\"";
}

}  // namespace system

// A console, not merely a character device: _isatty also says yes to NUL.
bool stdin_is_terminal() {
  HANDLE handle;
  return _isatty(_fileno(stdin)) != 0 && console(STD_INPUT_HANDLE, &handle);
}
bool stderr_is_terminal() {
  HANDLE handle;
  return _isatty(_fileno(stderr)) != 0 && console(STD_ERROR_HANDLE, &handle);
}

bool read_line(std::string* line) {
  HANDLE input;
  if (console(STD_INPUT_HANDLE, &input)) return read_console_line(input, line);
  return read_stream_line(stdin, line);
}

// Only what iconv also knows: the system's UTF-7 and UTF-8 "code pages" are not
// Windows ANSI code pages.
bool codepage_known(unsigned codepage) {
  return codepage != CP_UTF7 && codepage != CP_UTF8 && IsValidCodePage(codepage);
}

bool to_codepage(const std::string& utf8_text, unsigned codepage, std::string* out) {
  std::wstring text;
  return strict_wide(utf8_text, &text) && narrow(text, codepage, out);
}

std::string from_codepage(const std::string& bytes, unsigned codepage) {
  return utf8(widen(bytes, codepage));
}

}  // namespace kelvra::pack
