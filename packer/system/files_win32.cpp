// The system layer's files on Windows: UTF-8 paths through the wide calls, where the C
// library would read them in the ANSI code page, and a replacing rename.
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "packer/system/files.h"

namespace kelvra::pack::system {

std::wstring wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int size = static_cast<int>(utf8.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, out.data(), length);
  return out;
}

std::string utf8(const wchar_t* text, std::size_t count) {
  if (count == 0) return {};
  const int size = static_cast<int>(count);
  const int length = WideCharToMultiByte(CP_UTF8, 0, text, size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, size, out.data(), length, nullptr, nullptr);
  return out;
}

std::string error_text(unsigned long code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string reason = length > 0 ? utf8(text, length) : std::string();
  LocalFree(text);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.')) {
    reason.pop_back();
  }
  return reason.empty() ? "error " + std::to_string(code) : reason;
}

namespace {

// An open handle as a C stream (binary, in mode "rb" or "wb"), which then owns it; on
// failure the handle is closed and *reason says why.
std::FILE* stream_of(HANDLE handle, bool writing, std::string* reason) {
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | (writing ? _O_WRONLY : _O_RDONLY));
  std::FILE* file = descriptor == -1 ? nullptr : _fdopen(descriptor, writing ? "wb" : "rb");
  if (!file) {
    *reason = last_error();
    if (descriptor == -1)
      CloseHandle(handle);
    else
      _close(descriptor);
  }
  return file;
}

}  // namespace

std::FILE* open_file(const std::string& path, const char* mode) {
  return _wfopen(wide(path).c_str(), wide(mode).c_str());
}

std::FILE* open_regular_input(const std::string& path, std::uint64_t* size, std::string* reason) {
  const HANDLE handle = CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *reason = error_text(GetLastError());
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    CloseHandle(handle);
    *reason = "it is no longer a regular file (it changed after it was gathered)";
    return nullptr;
  }
  *size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return stream_of(handle, false, reason);
}

std::FILE* create_new_file(const std::string& path, bool* exists, std::string* reason) {
  const HANDLE handle = CreateFileW(wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    *exists = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
    *reason = error_text(code);
    return nullptr;
  }
  std::FILE* file = stream_of(handle, true, reason);
  if (!file) DeleteFileW(wide(path).c_str());
  return file;
}

std::string replace_file(const std::string& from, const std::string& to) {
  if (MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING)) return {};
  return error_text(GetLastError());
}

void remove_file(const std::string& path) { DeleteFileW(wide(path).c_str()); }

bool file_size(const std::string& path, std::uint64_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data)) return false;
  *size = static_cast<std::uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
  return true;
}

std::string regular_file_problem(const std::string& path) {
  const HANDLE handle = CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {};  // the open that follows says why
  BY_HANDLE_FILE_INFORMATION info;
  const bool regular = GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
                       (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  CloseHandle(handle);
  return regular ? std::string() : "not a regular file (a folder, a pipe or a device)";
}

bool seek_file(std::FILE* file, std::uint64_t position) {
  return position <= static_cast<std::uint64_t>(INT64_MAX) &&
         _fseeki64(file, static_cast<__int64>(position), SEEK_SET) == 0;
}

bool file_end(std::FILE* file, std::uint64_t* size) {
  if (_fseeki64(file, 0, SEEK_END) != 0) return false;
  const __int64 end = _ftelli64(file);
  if (end < 0) return false;
  *size = static_cast<std::uint64_t>(end);
  return true;
}

std::string last_error() { return std::strerror(errno); }

}  // namespace kelvra::pack::system
