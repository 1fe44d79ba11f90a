// kelvra-pack extract: the installer's own run (open, password, working directory,
// extraction) on this system, with the terminal in place of the window. The after-run
// program is shown, never started (questions.cpp).
#include "packer/commands/extract.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "archive/archive.h"
#include "archive/extract.h"
#include "output/output.h"
#include "packer/commands/list.h"
#include "packer/packer.h"
#include "packer/system/codepages.h"
#include "packer/system/progress.h"
#include "packer/system/questions.h"
#include "packer/system/system.h"
#include "packer/system/terminal.h"
#include "password/password.h"
#include "platform/platform.h"
#include "resources/strings.h"

namespace kelvra::pack {

namespace {

bool password_accepted(const ExtractArgs& args) {
  std::string typed = args.password;
  if (!args.password_given) {
    if (!stdin_is_terminal() || !read_secret("Password: ", &typed)) return false;
  }
  std::string bytes;
  return to_codepage(typed, args.codepage, &bytes) && password_matches(bytes.c_str());
}

// Names are stored in the archive's code page; files here are named in the system's
// own encoding.
bool names_to_system(unsigned codepage) {
  for (std::uint32_t i = 0; i < archive.entry_count; ++i) {
    DirectoryEntry& entry = archive.entries[i];
    std::string name;
    const std::string problem = name_for_this_system(entry.name, codepage, &name);
    if (!problem.empty()) {
      complain("entry " + std::to_string(i + 1) + " '" + printable(from_codepage(entry.name, codepage)) + "': " +
               problem);
      return false;
    }
    std::memset(entry.name, 0, sizeof entry.name);
    std::memcpy(entry.name, name.data(), name.size());
    entry.name_length = static_cast<std::uint8_t>(name.size());
  }
  return true;
}

}  // namespace

int run_extract(const ExtractArgs& args) {
  if (args.overwrite == "replace") {
    overwrite_policy = OverwritePolicy::replace_all;
  } else if (args.overwrite == "skip") {
    overwrite_policy = OverwritePolicy::skip_all;
  } else {
    overwrite_policy = OverwritePolicy::ask;
    if (!stdin_is_terminal()) {
      complain(
          "standard input is not a terminal, so an existing file can't be asked about: "
          "give --overwrite replace or --overwrite skip");
      return exit_usage;
    }
  }

  const std::string problem = open_for_reading(args.archive, args.codepage);
  if (!problem.empty()) {
    complain(args.archive + ": " + problem);
    return exit_failed;
  }
  if (has_password()) {
    if (!password_accepted(args)) {
      complain(TEXT_BAD_PASSWORD);
      return exit_failed;
    }
    if (!quiet()) {
      std::fprintf(stderr, "kelvra-pack: note: the password only gates the installer; the files are not encrypted\n");
    }
  }
  if (!system::enter_directory(args.directory)) {
    complain(args.directory + ": " + TEXT_NO_DIRECTORY);
    return exit_failed;
  }
  if (!names_to_system(args.codepage)) return exit_failed;

  // The run reports through questions.cpp, which prints each entry and keeps the
  // after-run program to show here instead of starting it.
  progress_start("extracting", archive.payload_size, archive.entry_count);
  const int cancelled = extract_all();
  progress_finish(!cancelled);

  if (cancelled == 2) complain(TEXT_CORRUPTED);
  if (cancelled) return exit_failed;
  std::fputs(run_program_shown().c_str(), stdout);
  return write_failures() == 0 ? exit_ok : exit_failed;
}

}  // namespace kelvra::pack
