// What the packer's commands share: their entry points, exit statuses, the code-page
// conversion of names and texts, the terminal, and opening an archive with a reason.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "packer/pe/resources.h"
#include "packer/project/languages.h"

namespace kelvra::pack {

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;  // a bad archive or a failed operation
constexpr int exit_usage = 2;   // the command line itself is wrong

constexpr unsigned default_codepage = 1252;

// FILETIMEs count 100 ns steps from 1601-01-01 UTC.
constexpr std::uint64_t filetime_per_second = 10000000;
constexpr std::int64_t seconds_1601_to_1970 = 11644473600;

inline std::string in_quotes(const std::string& text) { return "'" + text + "'"; }

// Prints "kelvra-pack: text" on standard error.
void complain(const std::string& text);

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
  std::string stub_path;  // empty: the stub built in
  std::string run_program, run_arg1, run_arg2, prompt, default_dir;  // UTF-8
  std::string password;       // UTF-8
  std::string password_file;
  bool password_given = false;
  unsigned codepage = default_codepage;
  std::string level = "9";
  unsigned jobs = 0;
  std::string mtime;  // empty: SOURCE_DATE_EPOCH, else no clamp
  std::string sign;   // the signing command; empty: none
  Branding branding;  // the stub's icon, link, execution level, version information
  std::vector<std::string> languages;  // tags or "all"; English is always in
  MakerTexts texts;                    // the project's [texts.LANG] tables, checked
  std::vector<InputItem> inputs;
  std::vector<std::string> excludes;  // for every input
  // Options whose value came from a project file, and where: "--run" ->
  // "kelvra.toml:4: key 'run'", so a refusal points at the line to mend.
  std::map<std::string, std::string> origins;
  bool dry_run = false;  // check and tell, write nothing
  std::string depfile;   // where to list the files read, for build tools; empty: nowhere
  std::string project_file;  // the project file read, if any
};

struct ExtractArgs {
  std::string archive;
  std::string directory = ".";
  std::string overwrite;  // empty: ask
  std::string password;
  bool password_given = false;
  unsigned codepage = default_codepage;
};

int run_create(const CreateArgs& args);
int run_list(const std::string& path, bool json, unsigned codepage);
// jobs: inflating threads (0: one per core).
int run_test(const std::string& path, unsigned codepage, unsigned jobs);
int run_extract(const ExtractArgs& args);

// How many failed writes the extraction run has reported so far.
int write_failures();
// What a complete extraction run would have started, for the terminal: empty when the
// run wasn't complete or the archive names no program.
const std::string& run_program_shown();

// Reads the whole of a file the maker names (a stub, an icon, a password file): a
// regular file only (a pipe would never end, nor would /dev/zero) of at most limit
// bytes. Empty on success, else the reason, naming the file.
std::string read_named_file(const std::string& path, std::uint64_t limit, std::vector<std::uint8_t>* out);

// The stub built into this program; empty when none was at build time.
std::vector<std::uint8_t> embedded_stub();

// Code pages: Windows ANSI code page numbers, converted with iconv ("CP1252").
bool codepage_known(unsigned codepage);
// Whether every printable ASCII character is its own single byte in the code page, both
// ways, as in every code page Windows names files in.
bool codepage_keeps_ascii(unsigned codepage);
// False when text isn't valid UTF-8 or the code page can't hold one of its characters.
bool to_codepage(const std::string& utf8, unsigned codepage, std::string* out);
// Bytes the code page leaves undefined come out as U+FFFD.
std::string from_codepage(const std::string& bytes, unsigned codepage);

// The terminal.
// Text from an archive as it may be printed: control characters (C0, DEL and C1) are
// written as --json writes them (\n, \t, \u001b), so no name or string can act on the
// terminal or forge a line of output.
std::string printable(const std::string& text);
bool stdin_is_terminal();
bool stderr_is_terminal();
// One line of standard input without its line end; false at the end of input.
bool read_line(std::string* line);
// Asks on standard error and reads a line without echo when standard input is a
// terminal; false at the end of input.
bool read_secret(const std::string& prompt, std::string* line);

// Stored names read as this system and Windows will: each one's first fault, empty for
// a name that is fine. A name the code page turns into the same text as an earlier one
// (undefined bytes all become U+FFFD), also once case is folded as Windows folds it,
// or whose folder is such a name; with here, also a name extract on this system
// can't make (name_for_this_system).
// *clashes_with (when given) gets, for each name, the entry it clashes with (or its own index).
std::vector<std::string> codepage_name_faults(const std::vector<std::string>& stored, unsigned codepage, bool here,
                                              std::vector<std::size_t>* clashes_with = nullptr);
// The stored name as extract names the file here (*name); empty, or why it can't.
std::string name_for_this_system(const std::string& stored, unsigned codepage, std::string* name);

// Opens path with the reader. Empty on success, else the most precise reason found:
// the system's, a bound of the format, an entry name's, or the checksum's. With
// verify false, the archive's CRC-32 is left to the caller (open_archive_unverified).
std::string open_for_reading(const std::string& path, unsigned codepage, bool verify = true);

// A FILETIME as UTC ISO 8601 ("2000-01-01T00:00:00Z"), with the 100 ns fraction when
// there is one.
std::string iso_time(std::uint64_t filetime);

}  // namespace kelvra::pack
