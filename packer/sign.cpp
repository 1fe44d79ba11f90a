#include "packer/sign.h"

#include <filesystem>
#include <system_error>

#include "packer/packer.h"
#include "packer/system.h"

namespace kelvra::pack {

namespace {

namespace fs = std::filesystem;

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

bool exists(const std::string& path) {
  std::error_code error;
  return fs::exists(system::to_path(path), error);
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
  return {};
}

std::string sign_installer(const std::string& command, const std::string& option, const std::string& installer) {
  std::string out = installer + ".signed";
  for (int attempt = 1; exists(out) && attempt < 100; ++attempt) {
    out = installer + ".signed" + std::to_string(attempt);
  }
  if (exists(out)) return option + ": cannot choose a file for the signed installer beside " + in_quotes(installer);

  const std::string line =
      replaced(replaced(command, "{in}", system::shell_quoted(installer)), "{out}", system::shell_quoted(out));
  std::string output;
  const int status = system::run_shell(line, &output);
  std::error_code ignored;
  std::string problem;
  if (status == -1) {
    problem = "could not be started: " + system::last_error();
  } else if (status != 0) {
    problem = "failed with exit status " + std::to_string(status);
  } else if (!exists(out) || fs::file_size(system::to_path(out), ignored) == 0) {
    problem = "succeeded but wrote nothing to {out} (" + in_quotes(out) + ")";
  }
  if (problem.empty()) {
    std::error_code error;
    fs::rename(system::to_path(out), system::to_path(installer), error);
    if (error) {
      // Where a rename doesn't replace, the unsigned installer goes first.
      fs::remove(system::to_path(installer), ignored);
      fs::rename(system::to_path(out), system::to_path(installer), error);
    }
    if (!error) return {};
    problem = "its result could not replace " + in_quotes(installer) + ": " + error.message();
  }
  fs::remove(system::to_path(out), ignored);
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
  return option + ": the signing command " + problem + (output.empty() ? "" : "; its output:\n" + output);
}

}  // namespace kelvra::pack
