// The after-run program the archive names: its command line, the file to start (the
// target directory, then PATH) and the start itself. Extraction hands it to the host
// (extraction_ended); the stub starts it, kelvra-pack shows it, the tests record it.
#pragma once

#include <cstddef>

namespace kelvra {

// The command line: run_program, then a blank and each argument verbatim. Returns
// false when it doesn't fit size.
bool build_run_command_line(char* buffer, std::size_t size);
// Finds the file to start: the target directory, the .com/.exe/.bat/.cmd extensions
// when the last part has no dot, then each directory of PATH (not for names with /).
// Returns false when nothing is found.
bool find_run_program(char* buffer, std::size_t size);
// Starts run_program when it is set, through the shell (which asks the user's consent)
// when the system says it needs more rights; the outcome is not reported.
void start_run_program();

}  // namespace kelvra
