// What create would do, told without doing it, and the list of files an installer was
// made from, for build tools that remake it when one of them changes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "archive/writer.h"
#include "packer/commands/create.h"
#include "packer/packer.h"

namespace kelvra::pack {

// Prints the entries create would store and the settings it would use; writes nothing.
void print_dry_run(const CreateArgs& args, const std::vector<writer::Input>& inputs,
                   const writer::Strings& strings, std::size_t stub_size);

// Writes a make-style dependency file: the output, then every file read to make it and
// the folders holding them (so a file added to one counts as a change). Empty, or why not.
std::string write_depfile(const std::string& depfile, const CreateArgs& args,
                          const std::vector<writer::Input>& inputs);

}  // namespace kelvra::pack
