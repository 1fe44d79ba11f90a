// The project file: a small TOML file that describes one installer (output, inputs,
// texts, password file, level, code page) so a build script needs one command line.
// Also the exclude patterns of an input, and the starter file `kelvra-pack init` writes.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "packer/commands/create.h"
#include "packer/packer.h"

namespace kelvra::pack {

// What a project file sets. Paths are already taken relative to the file's folder.
struct Project {
  std::optional<std::string> output, stub, run, arg1, arg2, prompt, default_dir, password_file, sign, level,
      mtime, icon, link, execution_level;
  std::map<std::string, std::string> version;  // the [version] table
  std::optional<std::vector<std::string>> languages;
  MakerTexts texts;  // the [texts.LANG] tables, every text checked
  std::optional<unsigned> codepage, jobs;
  std::optional<bool> dpi_aware;
  std::vector<InputItem> inputs;
  // Where each value was set, by the command-line option it stands for:
  // "--run" -> "kelvra.toml:4: key 'run'".
  std::map<std::string, std::string> where;
};

// Reads and checks path. Empty on success, else one line naming the file, the line
// and the key: "kelvra.toml:12: key 'level': expected 1..9, \"max\" or \"ultra\"".
std::string load_project(const std::string& path, Project* project);

// The commented starter file.
const char* starter_project();

// Whether an input's file, at relative_path ('/'-separated, below the input's folder),
// is left out by one of the patterns. '*' and '?' match within one name, '**' across
// folders; a pattern without '/' is held against every name along the path (so a
// folder's name leaves out all it holds), one with '/' against the path from the
// input's folder. Letters match in either case, as names do on Windows.
bool path_excluded(const std::vector<std::string>& patterns, const std::string& relative_path);
// A pattern as typed, tidied for path_excluded; empty with *problem set when unusable.
std::string clean_pattern(const std::string& pattern, std::string* problem);

}  // namespace kelvra::pack
