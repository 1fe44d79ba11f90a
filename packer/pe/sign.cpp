#include "packer/pe/sign.h"

#include <cstring>
#include <filesystem>
#include <system_error>

#include "archive/archive.h"
#include "packer/commands/list.h"
#include "packer/packer.h"
#include "packer/pe/checksum.h"
#include "packer/system/system.h"

namespace kelvra::pack {

namespace {

namespace fs = std::filesystem;

// A path as one word of the shell's command line; a relative one starting with '-'
// would reach the signer as an option, so it goes as ./-... instead.
std::string path_word(const std::string& path, const char* variable) {
  if (!path.empty() && path[0] == '-') {
    return system::shell_quoted(std::string(".") + system::separator + path, variable);
  }
  return system::shell_quoted(path, variable);
}

bool exists(const std::string& path) {
  std::error_code error;
  return fs::exists(system::to_path(path), error);
}

// The files an interruption removes while the signer runs: fixed buffers, as a signal
// handler may read them at any moment. A path too long for them is not remembered.
char interrupted_installer[4096];
char interrupted_signed[4096];

void remember(const std::string& path, char (&buffer)[4096]) {
  buffer[0] = '\0';
  if (path.size() < sizeof buffer && path.find('\0') == std::string::npos) {
    std::memcpy(buffer, path.c_str(), path.size() + 1);
  }
}

// Why what the signer left at out can't stand in for the installer: not a regular
// file of its own (a link could point anywhere), not a PE image, or no archive the
// installer would accept behind it. Empty when it can.
std::string signed_result_problem(const std::string& out, unsigned codepage) {
  std::error_code error;
  const fs::file_status status = fs::symlink_status(system::to_path(out), error);
  if (error || !fs::is_regular_file(status)) {
    return "left something other than a regular file at {out} (" + in_quotes(out) +
           (fs::is_symlink(status) ? ", a link" : fs::is_directory(status) ? ", a folder"
                                                                           : "") +
           ")";
  }
  std::FILE* file = system::open_file(out, "rb");
  if (file == nullptr) return "wrote " + in_quotes(out) + ", which cannot be read: " + system::last_error();
  std::uint64_t size = 0;
  PeFacts facts;
  const bool read = system::file_end(file, &size) && read_pe_facts(file, size, &facts);
  std::fclose(file);
  if (!read || !facts.is_pe) return "wrote " + in_quotes(out) + ", which is not a PE image";
  const std::string archive_problem = open_for_reading(out, codepage);
  // The reader keeps the file open; Windows would not let it be renamed so.
  release_archive();
  if (!archive_problem.empty()) {
    return "wrote " + in_quotes(out) + ", in which the installer would not find its archive whole (" +
           archive_problem + ")";
  }
  return {};
}

}  // namespace

std::string check_sign_command(const std::string& command, const std::string& option) {
  if (command.find_first_not_of(" \t") == std::string::npos) return option + ": the command is empty";
  // Without both, the command would either sign something else or leave nothing to
  // take its place.
  for (const char* word : {"{in}", "{out}"}) {
    if (command.find(word) == std::string::npos) {
      return option + ": the command must name " + word +
             " ({in}: the finished installer, {out}: the signed file to write)";
    }
  }
  const std::string quoted = placeholder_in_quotes(command, system::shell_quotes, system::shell_escape);
  if (!quoted.empty()) {
    return option + ": " + quoted +
           " stands inside quotes (or after an escape character) in the command; write it bare: kelvra-pack puts the path in quotes "
           "itself, and inside the command's own quotes a character of the path could end them or be "
           "read by the shell";
  }
  return {};
}

std::string placeholder_in_quotes(const std::string& command, const char* quotes, char escape) {
  char open = 0;  // the quote character the scan is inside of, or 0
  bool escaped = false;
  for (std::size_t at = 0; at < command.size(); ++at) {
    // An escaped placeholder is as bad as a quoted one: its path's first quote would
    // be taken literally and the path read by the shell.
    for (const char* word : {"{in}", "{out}"}) {
      if ((open != 0 || escaped) && command.compare(at, std::strlen(word), word) == 0) return word;
    }
    const char c = command[at];
    if (escaped) {
      escaped = false;
    } else if (c == escape && (open == 0 || (escape == '\\' && open == '"'))) {
      escaped = true;  // sh's backslash also works inside double quotes
    } else if (open == 0 && std::strchr(quotes, c) != nullptr) {
      open = c;
    } else if (c == open) {
      open = 0;
    }
  }
  return {};
}

std::string substituted(const std::string& command, const std::string& in, const std::string& out) {
  // One pass over the maker's text alone: what a path brings in is never looked at
  // again, so no placeholder inside it is replaced and its quotes stay whole.
  std::string line;
  for (std::size_t at = 0; at < command.size();) {
    if (command.compare(at, 4, "{in}") == 0) {
      line += path_word(in, "KELVRA_SIGN_IN");
      at += 4;
    } else if (command.compare(at, 5, "{out}") == 0) {
      line += path_word(out, "KELVRA_SIGN_OUT");
      at += 5;
    } else {
      line += command[at++];
    }
  }
  return line;
}

std::string sign_installer(const std::string& command, const std::string& option, const std::string& installer,
                           unsigned codepage) {
  std::string out = installer + ".signed";
  for (int attempt = 1; exists(out) && attempt < 100; ++attempt) {
    out = installer + ".signed" + std::to_string(attempt);
  }
  if (exists(out)) return option + ": cannot choose a file for the signed installer beside " + in_quotes(installer);

  // Interrupted while the signer runs, neither the unsigned installer nor the signer's
  // half-written file stays behind.
  remember(installer, interrupted_installer);
  remember(out, interrupted_signed);
  system::remove_on_interrupt([] { return static_cast<const char*>(interrupted_installer); },
                              [] { return static_cast<const char*>(interrupted_signed); });
  std::string output;
  const int status = system::run_shell(substituted(command, installer, out), &output);
  std::error_code ignored;
  std::string problem;
  if (status == -1) {
    problem = "could not be started: " + system::last_error();
  } else if (status != 0) {
    problem = "failed with exit status " + std::to_string(status);
  } else if (!exists(out) && !fs::is_symlink(fs::symlink_status(system::to_path(out), ignored))) {
    problem = "succeeded but wrote nothing to {out} (" + in_quotes(out) + ")";
  } else {
    problem = signed_result_problem(out, codepage);
  }
  if (problem.empty()) {
    std::error_code error;
    fs::rename(system::to_path(out), system::to_path(installer), error);
    if (error) {
      // Where a rename doesn't replace, the unsigned installer goes first.
      fs::remove(system::to_path(installer), ignored);
      fs::rename(system::to_path(out), system::to_path(installer), error);
    }
    if (!error) problem.clear();
    if (error) problem = "its result could not replace " + in_quotes(installer) + ": " + error.message();
  }
  interrupted_signed[0] = '\0';
  if (problem.empty()) {
    interrupted_installer[0] = '\0';
    return {};
  }
  fs::remove(system::to_path(out), ignored);
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
  return option + ": the signing command " + problem + (output.empty() ? "" : "; its output:\n" + output);
}

}  // namespace kelvra::pack
