// The project file, read with toml++: every key checked for its type and range where
// it stands, so a mistake is reported with the file, the line and the key, and an
// unknown key (a typo) is an error rather than a silently ignored setting.
#include "packer/project/project.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "archive/names.h"
#include "packer/commands/create.h"
#include "packer/packer.h"
#include "packer/system/system.h"

namespace kelvra::pack {

namespace {

namespace fs = std::filesystem;

// A value's kind in the file, and whether it names a file beside the project file.
enum class Kind { text,
                  path,
                  level,
                  mtime,
                  codepage,
                  jobs };

struct Key {
  const char* name;    // in the file
  const char* option;  // on the command line
  Kind kind;
  std::optional<std::string> Project::*text;
  std::optional<unsigned> Project::*number;
};

const Key keys[] = {
    {"output", "--output", Kind::path, &Project::output, nullptr},
    {"stub", "--stub", Kind::path, &Project::stub, nullptr},
    {"run", "--run", Kind::text, &Project::run, nullptr},
    {"arg1", "--arg1", Kind::text, &Project::arg1, nullptr},
    {"arg2", "--arg2", Kind::text, &Project::arg2, nullptr},
    {"prompt", "--prompt", Kind::text, &Project::prompt, nullptr},
    {"default_dir", "--default-dir", Kind::text, &Project::default_dir, nullptr},
    {"password_file", "--password-file", Kind::path, &Project::password_file, nullptr},
    {"sign", "--sign", Kind::text, &Project::sign, nullptr},
    {"icon", "--icon", Kind::path, &Project::icon, nullptr},
    {"link", "--link", Kind::text, &Project::link, nullptr},
    {"execution_level", "--execution-level", Kind::text, &Project::execution_level, nullptr},
    {"level", "--level", Kind::level, &Project::level, nullptr},
    {"mtime", "--mtime", Kind::mtime, &Project::mtime, nullptr},
    {"codepage", "--codepage", Kind::codepage, nullptr, &Project::codepage},
    {"jobs", "--jobs", Kind::jobs, nullptr, &Project::jobs},
};
const char* const input_keys[] = {"path", "name", "exclude"};

// Thrown from deep in the checks and caught once, at the file's level.
struct Problem {
  std::string text;
};

std::size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

template <typename Names>
std::string unknown_key(const std::string& key, const Names& names) {
  std::string text = "unknown key";
  std::string best;
  std::size_t best_distance = 3;  // farther than two edits is not a typo
  for (const auto& name : names) {
    const std::size_t distance = edit_distance(key, name);
    if (distance < best_distance) {
      best_distance = distance;
      best = name;
    }
  }
  if (!best.empty()) text += " (did you mean '" + best + "'?)";
  return text;
}

class Reader {
 public:
  Reader(std::string file, fs::path folder) : file_(std::move(file)), folder_(std::move(folder)) {}

  [[noreturn]] void fail(const toml::source_region& where, const std::string& key, const std::string& text) const {
    throw Problem{at(where, key) + ": " + text};
  }

  std::string at(const toml::source_region& where, const std::string& key) const {
    return file_ + ":" + std::to_string(where.begin.line) + ": key '" + key + "'";
  }

  std::string text(const toml::node& node, const std::string& key) const {
    const auto* value = node.as_string();
    if (value == nullptr) fail(node.source(), key, "expected a string in quotes");
    return value->get();
  }

  // Relative paths are taken from the project file's folder, so the file works from
  // any working directory.
  std::string path(const toml::node& node, const std::string& key) const {
    const std::string given = text(node, key);
    if (given.empty()) fail(node.source(), key, "expected a path, got an empty string");
    if (system::is_absolute(given) || folder_.empty()) return given;
    return system::from_path(folder_ / system::to_path(given));
  }

  std::int64_t integer(const toml::node& node, const std::string& key, std::int64_t low,
                       std::int64_t high) const {
    const auto* value = node.as_integer();
    const std::string range = std::to_string(low) + ".." + std::to_string(high);
    if (value == nullptr || value->get() < low || value->get() > high) {
      fail(node.source(), key, "expected a whole number in " + range);
    }
    return value->get();
  }

  void top_level(const Key& key, const toml::node& node, Project* project) const {
    switch (key.kind) {
      case Kind::text:
        project->*key.text = text(node, key.name);
        return;
      case Kind::path:
        project->*key.text = path(node, key.name);
        return;
      case Kind::level:
        if (const auto* number = node.as_integer(); number && number->get() >= 1 && number->get() <= 9) {
          project->*key.text = std::to_string(number->get());
          return;
        }
        if (const auto* word = node.as_string(); word && (word->get() == "max" || word->get() == "ultra")) {
          project->*key.text = word->get();
          return;
        }
        fail(node.source(), key.name, "expected 1..9, \"max\" or \"ultra\"");
      case Kind::mtime:
        // Checked with the option's own parser when the installer is made.
        if (const auto* seconds = node.as_integer()) {
          project->*key.text = std::to_string(seconds->get());
        } else {
          project->*key.text = text(node, key.name);
        }
        return;
      case Kind::codepage: {
        const auto codepage = static_cast<unsigned>(integer(node, key.name, 1, 65535));
        if (!codepage_known(codepage)) {
          fail(node.source(), key.name, "code page " + std::to_string(codepage) + " is not known here");
        }
        project->*key.number = codepage;
        return;
      }
      case Kind::jobs:
        project->*key.number = static_cast<unsigned>(integer(node, key.name, 1, 256));
        return;
    }
  }

  // A name inside the archive: '/' or '\' between folders, staying inside the target.
  // One that ends in a separator names a folder, and keeps one backslash at its end.
  std::string stored_name(const toml::node& node, const std::string& key) const {
    std::string name = text(node, key);
    std::replace(name.begin(), name.end(), '/', '\\');
    const bool folder = !name.empty() && name.back() == '\\';
    while (!name.empty() && name.back() == '\\') name.pop_back();
    if (name.find("\\\\") != std::string::npos) fail(node.source(), key, "a name with an empty folder part");
    const NameProblem problem = check_entry_name(name.data(), name.size());
    if (problem != NameProblem::none) {
      fail(node.source(), key, in_quotes(name) + ": " + describe_name_problem(problem));
    }
    return folder ? name + "\\" : name;
  }

  InputItem input(const toml::node& node, std::size_t number) const {
    const std::string which = "input";
    const toml::table* table = node.as_table();
    if (table == nullptr) fail(node.source(), which, "expected [[input]] tables");
    InputItem given;
    for (auto&& [name, value] : *table) {
      const std::string key = which + "." + std::string(name.str());
      if (name.str() == "path") {
        given.path = path(value, key);
        given.origin = at(value.source(), key);
      } else if (name.str() == "name") {
        given.name = stored_name(value, key);
      } else if (name.str() == "exclude") {
        const toml::array* patterns = value.as_array();
        if (patterns == nullptr) fail(value.source(), key, "expected a list of patterns, like [\"*.pdb\"]");
        for (const toml::node& item : *patterns) {
          std::string problem;
          given.excludes.push_back(clean_pattern(text(item, key), &problem));
          if (!problem.empty()) fail(item.source(), key, problem);
        }
      } else {
        fail(name.source(), key, unknown_key(std::string(name.str()), input_keys));
      }
    }
    if (given.path.empty()) {
      throw Problem{file_ + ":" + std::to_string(node.source().begin.line) + ": [[input]] number " +
                    std::to_string(number) + " has no 'path'"};
    }
    return given;
  }

  // [version]: strings only, each under a known key; their forms are checked with the
  // options' own rules when the installer is made.
  void version(const toml::node& node, Project* project) const {
    const toml::table* table = node.as_table();
    if (table == nullptr) fail(node.source(), "version", "expected a [version] table");
    for (auto&& [field, value] : *table) {
      const std::string name(field.str());
      const std::string key = "version." + name;
      if (std::find(std::begin(version_keys), std::end(version_keys), name) == std::end(version_keys)) {
        fail(field.source(), key, unknown_key(name, version_keys));
      }
      project->version[name] = text(value, key);
      project->where["--version-info " + name] = at(value.source(), key);
    }
  }

  // languages = ["de", "ja"]: tags we ship, or "all".
  void language_list(const toml::node& node, Project* project) const {
    const std::string key = "languages";
    const toml::array* tags = node.as_array();
    if (tags == nullptr) fail(node.source(), key, "expected a list of languages, like [\"de\", \"fr\"] or [\"all\"]");
    project->languages.emplace();
    for (const toml::node& item : *tags) {
      const std::string tag = text(item, key);
      const Language* language = find_language(tag);
      if (tag != "all" && (language == nullptr || !language->shipped)) {
        std::vector<LanguageTexts> ignored;
        fail(item.source(), key, choose_languages({tag}, {}, &ignored));
      }
      project->languages->push_back(tag);
    }
    project->where["--language"] = at(node.source(), key);
  }

  // [texts.LANG]: the maker's words for a language, each under the key of its purpose
  // and held to the limits the built-in ones are; a language we don't ship must give
  // every one of them.
  void texts(const toml::node& node, Project* project) const {
    const toml::table* tables = node.as_table();
    if (tables == nullptr) fail(node.source(), "texts", "expected [texts.LANG] tables, like [texts.de]");
    for (auto&& [tag_key, table_node] : *tables) {
      const std::string tag(tag_key.str());
      const std::string where = "texts." + tag;
      const Language* language = find_language(tag);
      if (language == nullptr) {
        std::string known;
        for (const std::string& shipped : shipped_tags()) known += (known.empty() ? "" : ", ") + shipped;
        fail(tag_key.source(), where, "unknown language " + in_quotes(tag) + " (built in: " + known +
                                          "; others a table may add: pt, ca, da, fi, id, nb, sv, hr, hu, ro, sk, sl, "
                                          "bg, el, he, ar, et, lt, lv, vi, th)");
      }
      const toml::table* table = table_node.as_table();
      if (table == nullptr) fail(table_node.source(), where, "expected a table of texts, like [texts." + tag + "]");
      std::map<std::string, std::string>& given = project->texts[tag];
      for (auto&& [name, value] : *table) {
        const std::string key(name.str());
        const std::string full = where + "." + key;
        const auto* found = std::find(std::begin(text_key_names), std::end(text_key_names), key);
        if (found == std::end(text_key_names)) fail(name.source(), full, unknown_key(key, text_key_names));
        const std::string given_text = text(value, full);
        const auto index = static_cast<TextKey>(found - std::begin(text_key_names));
        const std::string problem = check_text(index, given_text, *language);
        if (!problem.empty()) fail(value.source(), full, problem);
        given[key] = given_text;
      }
      if (!language->shipped) {
        std::string missing;
        for (const char* key : text_key_names) {
          if (given.count(key) == 0) missing += (missing.empty() ? "" : ", ") + std::string(key);
        }
        if (!missing.empty()) {
          fail(table_node.source(), where,
               "we ship no " + std::string(language->name) + " texts, so every key must be given; missing: " + missing);
        }
      }
    }
  }

  void read(const toml::table& root, Project* project) const {
    std::vector<std::string> names{"input", "version", "dpi_aware", "languages", "texts"};
    for (const Key& key : keys) names.push_back(key.name);
    for (auto&& [name, node] : root) {
      const std::string key(name.str());
      if (key == "input") {
        const toml::array* inputs = node.as_array();
        if (inputs == nullptr) fail(node.source(), key, "expected [[input]] tables, each with a 'path'");
        for (const toml::node& item : *inputs) project->inputs.push_back(input(item, project->inputs.size() + 1));
        continue;
      }
      if (key == "version") {
        version(node, project);
        continue;
      }
      if (key == "dpi_aware") {
        const auto* flag = node.as_boolean();
        if (flag == nullptr) fail(node.source(), key, "expected true or false");
        project->dpi_aware = flag->get();
        project->where["--no-dpi-aware"] = at(node.source(), key);
        continue;
      }
      if (key == "languages") {
        language_list(node, project);
        continue;
      }
      if (key == "texts") {
        texts(node, project);
        continue;
      }
      if (key == "password") {
        fail(name.source(), key,
             "a password does not belong in a file that is kept with the sources; put it in a "
             "file of its own and name that with 'password_file'");
      }
      const Key* known = std::find_if(std::begin(keys), std::end(keys), [&](const Key& k) { return key == k.name; });
      if (known == std::end(keys)) fail(name.source(), key, unknown_key(key, names));
      top_level(*known, node, project);
      project->where[known->option] = at(node.source(), key);
    }
  }

 private:
  std::string file_;
  fs::path folder_;
};

// Pattern matching as a table over (place in the pattern, place in the text), each
// place worked out once: time and memory grow with the product of the two lengths,
// where trying every split of the text at every star grows exponentially with the
// number of stars ("*a*a*a*a*ab" against a long name took half a minute).
class Matcher {
 public:
  Matcher(const std::string& pattern, const std::string& text)
      : pattern_(pattern), text_(text), known_(2 * (pattern.size() + 1) * (text.size() + 1), unknown) {}
  bool matches() { return at(0, 0, false); }

 private:
  static constexpr std::int8_t unknown = -1;
  static char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

  // Whether pattern from p matches text from t to its end. inside: p is at a "**/"
  // that has taken at least one character, so what follows it may start only after a
  // '/' (with nothing taken it may start right here: "a/**/b" takes "a/b").
  bool at(std::size_t p, std::size_t t, bool inside) {
    std::int8_t& known = known_[(2 * p + (inside ? 1 : 0)) * (text_.size() + 1) + t];
    if (known == unknown) known = work(p, t, inside) ? 1 : 0;
    return known == 1;
  }

  bool work(std::size_t p, std::size_t t, bool inside) {
    const bool text_ends = t == text_.size();
    if (p == pattern_.size()) return text_ends;
    if (pattern_.compare(p, 2, "**") == 0) {
      const bool folders = p + 2 < pattern_.size() && pattern_[p + 2] == '/';
      const std::size_t after = p + (folders ? 3 : 2);
      if ((!folders || !inside || text_[t - 1] == '/') && at(after, t, false)) return true;
      return !text_ends && at(p, t + 1, folders);
    }
    if (pattern_[p] == '*') {
      if (at(p + 1, t, false)) return true;
      return !text_ends && text_[t] != '/' && at(p, t + 1, false);
    }
    if (text_ends) return false;
    if (pattern_[p] == '?') return text_[t] != '/' && at(p + 1, t + 1, false);
    return lower(pattern_[p]) == lower(text_[t]) && at(p + 1, t + 1, false);
  }

  const std::string& pattern_;
  const std::string& text_;
  std::vector<std::int8_t> known_;
};

bool match(const std::string& pattern, const std::string& text) { return Matcher(pattern, text).matches(); }

}  // namespace

std::string clean_pattern(const std::string& pattern, std::string* problem) {
  problem->clear();
  std::string clean = pattern;
  while (clean.size() > 1 && clean.back() == '/') clean.pop_back();
  if (clean.find('\\') != std::string::npos) {
    *problem = in_quotes(pattern) + ": write folders in patterns with '/'";
  } else if (clean.empty() || clean == "/") {
    *problem = "an empty pattern would leave out nothing or everything";
  }
  return problem->empty() ? clean : std::string();
}

bool path_excluded(const std::vector<std::string>& patterns, const std::string& relative_path) {
  for (const std::string& pattern : patterns) {
    if (pattern.find('/') == std::string::npos) {
      std::size_t start = 0;
      for (;;) {
        const std::size_t end = relative_path.find('/', start);
        const std::string name = relative_path.substr(start, end - start);
        if (match(pattern, name)) return true;
        if (end == std::string::npos) break;
        start = end + 1;
      }
      continue;
    }
    // Anchored at the input's folder: the file itself or a folder it lies in.
    const std::string anchored = pattern.substr(pattern[0] == '/' ? 1 : 0);
    for (std::size_t end = relative_path.find('/'); end != std::string::npos;
         end = relative_path.find('/', end + 1)) {
      if (match(anchored, relative_path.substr(0, end))) return true;
    }
    if (match(anchored, relative_path)) return true;
  }
  return false;
}

std::string load_project(const std::string& path, Project* project) {
  // Regular and of a sane size: a pipe or a device named here would never end.
  std::vector<std::uint8_t> bytes;
  const std::string unread = read_named_file(path, 1 << 20, &bytes);
  if (!unread.empty()) return path + ": cannot read the project file: " + unread;
  std::ostringstream content;
  content.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));

  Reader reader(path, system::to_path(path).parent_path());
  try {
    const toml::table root = toml::parse(content.str(), path);
    reader.read(root, project);
  } catch (const toml::parse_error& error) {
    return path + ":" + std::to_string(error.source().begin.line) + ":" +
           std::to_string(error.source().begin.column) + ": not valid TOML: " + std::string(error.description());
  } catch (const Problem& problem) {
    return problem.text;
  }
  return {};
}

const char* starter_project() {
  return R"(# kelvra.toml: what `kelvra-pack create --project kelvra.toml` puts into the installer.
# Paths are relative to this file's folder. Options given on the command line win
# over the values here; files and folders named there are added to the inputs.
# Take the '#' off a line to use it.

# The installer to write.
output = "setup.exe"

# The program the installer starts once every file is in place (looked for in the
# target folder, then on PATH), and its two arguments. Leave run out to start nothing.
run = "setup.exe"
# arg1 = "/quiet"
# arg2 = ""

# The text shown while the user picks the target folder, and the folder proposed
# there (without one, the user's TEMP folder). A Windows path: single quotes keep
# its backslashes as they are.
prompt = "Install into this folder:"
# default_dir = 'C:\Program Files\My App'

# The installer asks for the password on the first line of this file before it
# extracts anything. It only gates the installer: the files are not encrypted.
# password_file = "password.txt"

# Compression: 1..9 (zlib; 9 is the default), "max" (stronger and slower) or
# "ultra" (the smallest, hundreds of times slower).
level = 9

# The Windows ANSI code page the installer's names and texts are stored in.
codepage = 1252

# The stub program; without it, the one built into kelvra-pack.
# stub = "kelvra-stub.exe"

# The installer's own icon (every image of an .ico file), the web address its window
# shows and opens, and the rights it asks for: asInvoker (the default),
# highestAvailable or requireAdministrator. Its version information is set in the
# table at the end.
# icon = "app.ico"
# link = "https://example.com/my-app"
# execution_level = "requireAdministrator"
# The window scales itself to each monitor's DPI; false leaves that to Windows,
# which then stretches it (blurry on high-DPI screens).
# dpi_aware = false

# What goes in: one [[input]] per folder (its contents) or file (itself).
#   name     where it goes inside the installer: a folder's contents into that
#            folder; a file under that name, or into that folder if it ends in /
#   exclude  what to leave out: * and ? match within a name, ** across folders;
#            a pattern without / matches a file or folder name at any depth,
#            one with / the path from the input's folder ("docs/drafts").
[[input]]
path = "dist"
exclude = ["*.pdb", "*.tmp"]

# [[input]]
# path = "README.txt"
# name = "docs/"

# The languages the installer speaks besides English, which is always in: de, fr, es,
# it, pt-BR, nl, pl, cs, ru, uk, tr, ja, ko, zh-CN, zh-TW, or "all". Windows shows the
# user's own language, else English.
# languages = ["de", "fr"]

# Your own words for a language's texts: a [texts.LANG] table replaces ours key by key,
# and adds a language we don't ship (sv, say) when it gives every key.
# [texts.de]
# replace = "Ersetzen"                       # the dialog's buttons, and with its box ticked
# replace_all = "Alle ersetzen"
# skip = "Überspringen"
# skip_all = "Alle überspringen"
# rename = "Umbenennen"
# stop_asking = "Nicht mehr fragen"          # the dialog's check box
# dialog_title = "Datei vorhanden"           # the dialog's title
# file_exists = "Datei bereits vorhanden:\n\t" # the dialog's question; the path follows
# all_files = "Alle Dateien"                 # the save-as prompt's filter and title
# new_name = "Neuer Name"
# ok = "OK"                                  # the window's button: at most 9 characters
# cancel = "Abbrechen"
# expand_to = "Ordner:"                      # the labels before the folder and password fields
# password = "Kennwort:"
# needs_password = "Diese ZIP-Datei verlangt ein Kennwort.\n\nGeben Sie das Kennwort ein und klicken Sie dann auf „OK“."
# bad_password = "Falsches Kennwort."
# directory_missing = "Der Ordner existiert nicht."
# inflating = "  Entpacke: "                 # before each file's name while it is written
# cancelled = "Vom Benutzer abgebrochen."
# corrupted = "Diese Datei ist beschädigt."
# out_of_memory = "Nicht genug Arbeitsspeicher"
# write_failed = "Schreibfehler!"            # the box a failed write shows

# What the installer's Properties show; file_version is also its fixed version.
# [version]
# product_name = "My App"
# product_version = "1.2.3"
# file_version = "1.2.3.4"
# company = "Example Ltd"
# copyright = "(c) 2026 Example Ltd"
# description = "My App installer"
)";
}

}  // namespace kelvra::pack
