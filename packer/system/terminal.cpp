// The packer's terminal: complaints on standard error (clear of the progress bar),
// line input for the questions, and a password read without echo.
#include "packer/system/terminal.h"

#include <cstdio>
#include <string>

#include "packer/packer.h"
#include "packer/system/progress.h"
#include "packer/system/system.h"

namespace kelvra::pack {

void complain(const std::string& text) {
  progress_pause();
  std::fprintf(stderr, "kelvra-pack: %s\n", text.c_str());
}

std::string printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    unsigned code = c;
    // C1 controls come out of the code pages as U+0080..U+009F; some terminals act on
    // those too.
    const bool c1 = c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (c1) code = static_cast<unsigned char>(text[++i]);
    if (code >= 0x20 && code != 0x7F && !c1) {
      out += static_cast<char>(c);
      continue;
    }
    switch (code) {
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", code);
        out += escaped;
      }
    }
  }
  return out;
}

bool read_stream_line(std::FILE* stream, std::string* line) {
  line->clear();
  for (;;) {
    const int c = std::getc(stream);
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

}  // namespace kelvra::pack
