// Fuzz target: the check of a stored entry name. Whatever it lets through stays inside
// the target folder and names no Windows device; whatever it refuses has the reason given.
#include <cctype>

#include "fuzz/support.h"

namespace kelvra::fuzz {

namespace {

// A Windows device is named by the part before its first dot, trailing blanks dropped;
// COM and LPT take a digit, superscripts 1-3 included.
bool is_device(std::string part) {
  part = part.substr(0, part.find('.'));
  part.erase(part.find_last_not_of(' ') + 1);
  for (char& c : part) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const unsigned char digit = part.size() == 4 ? static_cast<unsigned char>(part[3]) : 0;
  return part == "CON" || part == "PRN" || part == "AUX" || part == "NUL" || part == "CONIN$" ||
         part == "CONOUT$" || ((part.compare(0, 3, "COM") == 0 || part.compare(0, 3, "LPT") == 0) && (std::isdigit(digit) || digit == 0xB9 || digit == 0xB2 || digit == 0xB3));
}

}  // namespace

FUZZ_TARGET(names) {
  const char* name = in.size > 0 ? reinterpret_cast<const char*>(in.data) : "";
  const NameProblem problem = check_entry_name(name, in.size);
  const std::string text = up_to_zero(in.bytes(in.size));
  bool parent = false, device = false;
  std::istringstream parts(local_path(text));
  for (std::string part; std::getline(parts, part, '/');) {
    parent = parent || (!part.empty() && part.find_first_not_of(". ") == std::string::npos);
    device = device || (!part.empty() && is_device(part));
  }
  // Whether the name has each problem, in NameProblem's order.
  const bool has[] = {false, text.empty(), text.find_first_of("\\/") == 0, text.find(':') != std::string::npos,
                      parent, device,
                      std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; })};
  const std::string shown = text.substr(0, 80);
  for (std::size_t i = 1; i < std::size(has); ++i) {
    INVARIANT(problem != NameProblem::none || !has[i], "'%s' was let through: %s", shown.c_str(),
              describe_name_problem(static_cast<NameProblem>(i)));
  }
  const auto index = static_cast<std::size_t>(problem);
  INVARIANT(problem == NameProblem::none || (index < std::size(has) && has[index]),
            "'%s' refused for a reason it doesn't have (%zu)", shown.c_str(), index);
  INVARIANT(problem != NameProblem::none || !leaves_folder(text), "'%s' leaves the folder",
            shown.c_str());
  const char* reason = describe_name_problem(problem);
  INVARIANT(reason != nullptr && reason[0] != '\0', "no reason text for %d", static_cast<int>(problem));
}

}  // namespace kelvra::fuzz
