// kelvra-pack extract: the archive's files into a folder, asking or told what to do
// with files that exist.
#pragma once

#include <string>

#include "packer/packer.h"

namespace kelvra::pack {

struct ExtractArgs {
  std::string archive;
  std::string directory = ".";
  std::string overwrite;  // empty: ask
  std::string password;
  bool password_given = false;
  unsigned codepage = default_codepage;
};

int run_extract(const ExtractArgs& args);

}  // namespace kelvra::pack
