// The system layer's files on Linux: stdio with 64-bit offsets over open(2).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>

#include "packer/system/files.h"

namespace kelvra::pack::system {

std::FILE* open_file(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

std::FILE* open_regular_input(const std::string& path, std::uint64_t* size, std::string* reason) {
  const int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor == -1) {
    *reason = last_error();
    return nullptr;
  }
  struct stat info;
  if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(descriptor);
    *reason = "it is no longer a regular file (it changed after it was gathered)";
    return nullptr;
  }
  *size = static_cast<std::uint64_t>(info.st_size);
  std::FILE* file = fdopen(descriptor, "rb");
  if (!file) {
    *reason = last_error();
    close(descriptor);
  }
  return file;
}

std::FILE* create_new_file(const std::string& path, bool* exists, std::string* reason) {
  std::FILE* file = std::fopen(path.c_str(), "wbx");
  if (!file) {
    *exists = errno == EEXIST;
    *reason = last_error();
  }
  return file;
}

std::string replace_file(const std::string& from, const std::string& to) {
  std::error_code error;
  std::filesystem::rename(from, to, error);
  return error ? error.message() : std::string();
}

void remove_file(const std::string& path) { std::remove(path.c_str()); }

bool file_size(const std::string& path, std::uint64_t* size) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  *size = static_cast<std::uint64_t>(info.st_size);
  return true;
}

std::string regular_file_problem(const std::string& path) {
  const int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor == -1) return {};  // the open that follows says why
  struct stat info;
  const bool ok = fstat(descriptor, &info) == 0;
  close(descriptor);
  if (!ok || S_ISREG(info.st_mode)) return {};
  if (S_ISFIFO(info.st_mode)) return "not a regular file (a pipe)";
  if (S_ISDIR(info.st_mode)) return "not a regular file (a folder)";
  if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) return "not a regular file (a device)";
  return "not a regular file";
}

bool seek_file(std::FILE* file, std::uint64_t position) {
  return position <= static_cast<std::uint64_t>(INT64_MAX) &&
         fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0;
}

bool file_end(std::FILE* file, std::uint64_t* size) {
  if (fseeko(file, 0, SEEK_END) != 0) return false;
  const off_t end = ftello(file);
  if (end < 0) return false;
  *size = static_cast<std::uint64_t>(end);
  return true;
}

std::string last_error() { return std::strerror(errno); }

}  // namespace kelvra::pack::system
