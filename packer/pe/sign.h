// The maker's signing command, run on the installer once it is complete: {in} stands
// for the installer, {out} for the file the command writes, which then replaces it.
#pragma once

#include <string>

namespace kelvra::pack {

// Empty when command can be run, else why not, naming it by option.
std::string check_sign_command(const std::string& command, const std::string& option);

// The placeholder ("{in}" or "{out}") that stands inside quotes of the command or
// right after its escape character, as a shell with these quote characters and this
// escape character reads it; empty when none does.
std::string placeholder_in_quotes(const std::string& command, const char* quotes, char escape);

// The command line to run: each placeholder of command replaced by its path, quoted
// for the shell, in one pass.
std::string substituted(const std::string& command, const std::string& in, const std::string& out);

// Runs command on installer; what it writes replaces the installer only when it is a
// regular file, a PE image, and holds an archive that opens with its CRC-32 right
// (names and texts read in codepage). Empty on success; else the reason with the
// command's output, and the installer is left as it was (the caller removes it). An
// interruption while the command runs removes the installer and the command's file.
std::string sign_installer(const std::string& command, const std::string& option, const std::string& installer,
                           unsigned codepage);

}  // namespace kelvra::pack
