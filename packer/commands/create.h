// kelvra-pack create: what it is given, and reading the files the maker names.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "packer/packer.h"
#include "packer/pe/resources.h"
#include "packer/project/languages.h"

namespace kelvra::pack {

// One file or folder to store: where it is, the name it takes in the archive (a
// folder's: the folder its contents go into; a file's: its name, or with a backslash
// at the end the folder it goes into; empty: the file's own name, or the top), and
// what of it to leave out.
struct InputItem {
  std::string path;
  std::string name;  // UTF-8, parts joined by backslashes
  std::vector<std::string> excludes;
  std::string origin;  // where a project file names it, for messages; empty otherwise
};

struct CreateArgs {
  std::string output;
  std::string stub_path;                                             // empty: the stub built in
  std::string run_program, run_arg1, run_arg2, prompt, default_dir;  // UTF-8
  std::string password;                                              // UTF-8
  std::string password_file;
  bool password_given = false;
  unsigned codepage = default_codepage;
  std::string level = "9";
  unsigned jobs = 0;
  std::string mtime;                   // empty: SOURCE_DATE_EPOCH, else no clamp
  std::string sign;                    // the signing command; empty: none
  Branding branding;                   // the stub's icon, link, execution level, version information
  std::vector<std::string> languages;  // tags or "all"; English is always in
  MakerTexts texts;                    // the project's [texts.LANG] tables, checked
  std::vector<InputItem> inputs;
  std::vector<std::string> excludes;  // for every input
  // Options whose value came from a project file, and where: "--run" ->
  // "kelvra.toml:4: key 'run'", so a refusal points at the line to mend.
  std::map<std::string, std::string> origins;
  bool dry_run = false;      // check and tell, write nothing
  std::string depfile;       // where to list the files read, for build tools; empty: nowhere
  std::string project_file;  // the project file read, if any
};

int run_create(const CreateArgs& args);

// Reads the whole of a file the maker names (a stub, an icon, a password file): a
// regular file only (a pipe would never end, nor would /dev/zero) of at most limit
// bytes. Empty on success, else the reason, naming the file.
std::string read_named_file(const std::string& path, std::uint64_t limit, std::vector<std::uint8_t>* out);

}  // namespace kelvra::pack
