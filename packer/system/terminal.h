// The terminal: messages on standard error, text from archives made safe to print,
// and secrets read without echo.
#pragma once

#include <string>

namespace kelvra::pack {

// Prints "kelvra-pack: text" on standard error.
void complain(const std::string& text);

// The terminal.
// Text from an archive as it may be printed: control characters (C0, DEL and C1) are
// written as --json writes them (\n, \t, \u001b), so no name or string can act on the
// terminal or forge a line of output.
std::string printable(const std::string& text);
// Asks on standard error and reads a line without echo when standard input is a
// terminal; false at the end of input.
bool read_secret(const std::string& prompt, std::string* line);

}  // namespace kelvra::pack
