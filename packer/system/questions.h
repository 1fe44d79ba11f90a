// The extraction run's questions and reports on the terminal, and what they leave
// for extract to print.
#pragma once

#include <string>

namespace kelvra::pack {

// How many failed writes the extraction run has reported so far.
int write_failures();
// What a complete extraction run would have started, for the terminal: empty when the
// run wasn't complete or the archive names no program.
const std::string& run_program_shown();

}  // namespace kelvra::pack
