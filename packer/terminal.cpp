// The packer's terminal: line input for the questions, a password read without echo,
// and a progress line that only a terminal on standard error gets to see.
#include <cstdio>
#include <string>

#include "packer/packer.h"
#include "packer/system.h"

namespace kelvra::pack {

namespace {
bool progress_shown = false;
}

void complain(const std::string& text) { std::fprintf(stderr, "kelvra-pack: %s\n", text.c_str()); }

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
  bool terminal = false;
  const bool got = system::read_line_quietly(line, &terminal);
  // The typed line end wasn't echoed either.
  if (terminal) std::fprintf(stderr, "\n");
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
