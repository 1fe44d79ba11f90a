// The maker's signing command, run on the installer once it is complete: {in} stands
// for the installer, {out} for the file the command writes, which then replaces it.
#pragma once

#include <string>

namespace kelvra::pack {

// Empty when command can be run, else why not, naming it by option.
std::string check_sign_command(const std::string& command, const std::string& option);

// Runs command on installer. Empty on success; else the reason with the command's
// output, and the installer is left as it was (the caller removes it).
std::string sign_installer(const std::string& command, const std::string& option, const std::string& installer);

}  // namespace kelvra::pack
