// The packer's terminal: line input for the questions, a password read without echo,
// and a progress line that only a terminal on standard error gets to see.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "packer/packer.h"

namespace kelvra::pack {

namespace {
bool progress_shown = false;
}

void complain(const std::string& text) { std::fprintf(stderr, "kelvra-pack: %s\n", text.c_str()); }

bool stdin_is_terminal() { return isatty(STDIN_FILENO) == 1; }
bool stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }

bool read_line(std::string* line) {
  line->clear();
  for (;;) {
    const int c = std::getc(stdin);
    if (c == EOF) return !line->empty();
    if (c == '\n') break;
    line->push_back(static_cast<char>(c));
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

bool read_secret(const std::string& prompt, std::string* line) {
  std::fprintf(stderr, "%s", prompt.c_str());
  std::fflush(stderr);
  termios saved;
  const bool terminal = stdin_is_terminal() && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  const bool got = read_line(line);
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fprintf(stderr, "\n");
  }
  return got;
}

void show_progress(const std::string& text) {
  if (!stderr_is_terminal()) return;
  std::fprintf(stderr, "\r%s\033[K", text.c_str());
  std::fflush(stderr);
  progress_shown = true;
}

void end_progress() {
  if (!progress_shown) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  progress_shown = false;
}

}  // namespace kelvra::pack
