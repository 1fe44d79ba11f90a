// The packer's terminal: complaints on standard error (clear of the progress bar),
// line input for the questions, and a password read without echo.
#include <cstdio>
#include <string>

#include "packer/packer.h"
#include "packer/progress.h"
#include "packer/system.h"

namespace kelvra::pack {

void complain(const std::string& text) {
  progress_pause();
  std::fprintf(stderr, "kelvra-pack: %s\n", text.c_str());
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

}  // namespace kelvra::pack
