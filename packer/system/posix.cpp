// kelvra-pack on Linux: statx for times, stdio with 64-bit offsets, signals, termios
// for an echo-free password, and iconv for the Windows code pages.
// Contains: arguments, paths, file facts, interruption, the terminal, code pages, and
// the message listener (the POSIX platform layer's hook).
#include <fcntl.h>
#include <iconv.h>
#include <locale.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <wctype.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "packer/packer.h"
#include "packer/pe/resources.h"
#include "packer/system/system.h"

namespace kelvra::pack {

namespace {

std::uint64_t to_filetime(std::int64_t seconds, std::uint32_t nanoseconds) {
  if (seconds < -seconds_1601_to_1970) return 0;
  return static_cast<std::uint64_t>(seconds + seconds_1601_to_1970) * filetime_per_second +
         nanoseconds / 100;
}

const char* (*interrupted_paths[2])() = {nullptr, nullptr};

// An interrupted run leaves no partial installer behind.
extern "C" void remove_partial_output(int signal_number) {
  for (const char* (*path_of)() : interrupted_paths) {
    const char* path = path_of != nullptr ? path_of() : "";
    if (path[0] != '\0') unlink(path);
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

std::string iconv_name(unsigned codepage) { return "CP" + std::to_string(codepage); }

// Runs the whole text through one conversion and then flushes it: the converters of
// some code pages (1255, 1258) hold a character back in case a combining mark follows
// and give it only when told the text has ended. False at the first byte it refuses,
// with *stopped at that byte's offset and what was held back before it in *out.
bool convert(iconv_t cd, const std::string& in, std::string* out, std::size_t* stopped) {
  out->clear();
  char* in_at = const_cast<char*>(in.data());
  std::size_t in_left = in.size();
  char buffer[1024];
  bool refused = false;
  for (bool flushing = false;;) {
    char* out_at = buffer;
    std::size_t out_left = sizeof buffer;
    const std::size_t result = flushing ? iconv(cd, nullptr, nullptr, &out_at, &out_left)
                                        : iconv(cd, &in_at, &in_left, &out_at, &out_left);
    out->append(buffer, static_cast<std::size_t>(out_at - buffer));
    if (result == static_cast<std::size_t>(-1) && errno == E2BIG) continue;
    if (flushing) return !refused && result != static_cast<std::size_t>(-1);
    if (result == static_cast<std::size_t>(-1)) {
      refused = true;
      *stopped = in.size() - in_left;
    } else if (in_left != 0) {
      continue;
    }
    flushing = true;
  }
}

}  // namespace

namespace system {

std::vector<std::string> arguments(int argc, char** argv) { return {argv, argv + argc}; }

std::filesystem::path to_path(const std::string& text) { return text; }
std::string from_path(const std::filesystem::path& path) { return path.string(); }
bool is_absolute(const std::string& path) { return !path.empty() && path[0] == '/'; }
const char separator = '/';

bool to_core_path(const std::string& path, std::string* out) {
  *out = path;
  return true;
}

std::string from_core_text(const char* text) { return text; }

// Files here are named in UTF-8.
bool stored_name_to_core(const std::string& stored, unsigned codepage, std::string* out) {
  *out = from_codepage(stored, codepage);
  return true;
}

std::string fold_case(const std::string& utf8) {
  // Case mappings come with the locale; C.UTF-8 has Unicode's whatever the user's is.
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  std::string out;
  for (std::size_t at = 0; at < utf8.size();) {
    const unsigned char lead = static_cast<unsigned char>(utf8[at]);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4
                                             : lead >= 0xE0   ? 3
                                             : lead >= 0xC0   ? 2
                                                              : 0;
    bool whole = length != 0 && at + length <= utf8.size();
    std::uint32_t code = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (std::size_t i = 1; whole && i < length; ++i) {
      const unsigned char next = static_cast<unsigned char>(utf8[at + i]);
      whole = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    if (!whole) {  // not UTF-8: the byte as it is
      out += utf8[at++];
      continue;
    }
    at += length;
    if (unicode != static_cast<locale_t>(nullptr)) {
      code = static_cast<std::uint32_t>(towupper_l(static_cast<wint_t>(code), unicode));
    } else if (code >= 'a' && code <= 'z') {
      code -= 'a' - 'A';
    }
    append_utf8(&out, code);
  }
  return out;
}

std::string file_facts(const std::string& path, FileFacts* facts) {
  struct statx info {};
  if (statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &info) != 0) {
    return std::strerror(errno);
  }
  facts->last_write_time = to_filetime(info.stx_mtime.tv_sec, info.stx_mtime.tv_nsec);
  facts->creation_time = (info.stx_mask & STATX_BTIME)
                             ? to_filetime(info.stx_btime.tv_sec, info.stx_btime.tv_nsec)
                             : facts->last_write_time;
  facts->read_only = (info.stx_mode & S_IWUSR) == 0;
  facts->size = info.stx_size;
  return {};
}

platform::file_t open_installer(const std::string& path) { return platform::open_own_file(path.c_str()); }

bool enter_directory(const std::string& path) { return platform::set_working_directory(path.c_str()); }

void remove_on_interrupt(const char* (*path_of)(), const char* (*also)()) {
  interrupted_paths[0] = path_of;
  interrupted_paths[1] = also;
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal_number, remove_partial_output);
}

bool read_line_quietly(std::string* line, bool* was_terminal) {
  termios saved;
  const bool terminal = stdin_is_terminal() && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  const bool got = read_line(line);
  if (terminal) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  *was_terminal = terminal;
  return got;
}

int run_shell(const std::string& command, std::string* output) {
  output->clear();
  std::fflush(stdout);
  // In a subshell, so the error output of every part of a list is caught.
  std::FILE* pipe = popen(("(" + command + "\n) 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, got);
  const int status = pclose(pipe);
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

const char* const shell_quotes = "'\"";
const char shell_escape = '\\';

std::string shell_quoted(const std::string& path, const char*) {
  std::string quoted = "'";
  for (const char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace system

bool stdin_is_terminal() { return isatty(STDIN_FILENO) == 1; }
bool stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }

bool read_line(std::string* line) { return read_stream_line(stdin, line); }

bool codepage_known(unsigned codepage) {
  iconv_t cd = iconv_open(iconv_name(codepage).c_str(), "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(cd);
  return true;
}

bool to_codepage(const std::string& utf8, unsigned codepage, std::string* out) {
  iconv_t cd = iconv_open(iconv_name(codepage).c_str(), "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::size_t stopped = 0;
  const bool ok = convert(cd, utf8, out, &stopped);
  iconv_close(cd);
  return ok;
}

std::string from_codepage(const std::string& bytes, unsigned codepage) {
  iconv_t cd = iconv_open("UTF-8", iconv_name(codepage).c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return bytes;
  std::string result;
  std::string rest = bytes;
  for (;;) {
    std::string part;
    std::size_t stopped = 0;
    const bool ok = convert(cd, rest, &part, &stopped);
    result += part;
    if (ok) break;
    // A byte the code page leaves undefined (or half a double-byte character); the
    // flush has left the conversion in its initial state for the rest.
    result += "\xEF\xBF\xBD";
    rest.erase(0, stopped + 1);
  }
  iconv_close(cd);
  return result;
}

}  // namespace kelvra::pack
