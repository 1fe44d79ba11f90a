// Fuzz target: the check of a stored entry name.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/names.h"
#include "fuzz/support.h"
#include "resources/strings.h"

namespace kelvra::fuzz {

// Input: a stored name. Whatever the check lets through must stay inside the target
// folder and name no device on Windows; whatever it refuses must have the reason given.
int names_target(const std::uint8_t* data, std::size_t size) {
  current_target = "names";
  const char* name = size > 0 ? reinterpret_cast<const char*>(data) : "";
  const NameProblem problem = check_entry_name(name, size);
  const std::string text = up_to_zero(std::string(name, size));

  bool empty = text.empty();
  bool absolute = !empty && (text[0] == '\\' || text[0] == '/');
  bool colon = text.find(':') != std::string::npos;
  bool parent = false, device = false;
  bool control = std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != '\\' && text[i] != '/') continue;
    const std::string part = text.substr(start, i - start);
    start = i + 1;
    if (part.empty()) continue;
    if (part.find_first_not_of(". ") == std::string::npos) parent = true;
    // The device is the part before the first dot, trailing blanks dropped.
    std::string base = part.substr(0, part.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    static const char* const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* d : devices) device = device || base == d;
    if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0)) {
      const unsigned char digit = static_cast<unsigned char>(base[3]);
      device = device || (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 ||
               digit == 0xB3;
    }
  }

  const std::string shown = text.substr(0, 80);
  if (problem == NameProblem::none) {
    INVARIANT(!empty && !absolute && !colon && !parent && !device && !control,
                "'%s' was let through (empty %d, absolute %d, colon %d, dots %d, device %d, control %d)",
                shown.c_str(), empty, absolute, colon, parent, device, control);
    INVARIANT(!leaves_folder(text), "'%s' leaves the folder", shown.c_str());
  } else {
    const bool reason_holds = (problem == NameProblem::empty && empty) ||
                              (problem == NameProblem::absolute && absolute) ||
                              (problem == NameProblem::colon && colon) ||
                              (problem == NameProblem::parent_component && parent) ||
                              (problem == NameProblem::device_name && device) ||
                              (problem == NameProblem::control_character && control);
    INVARIANT(reason_holds, "'%s' refused for a reason it doesn't have (%d)", shown.c_str(),
                static_cast<int>(problem));
  }
  const char* reason = describe_name_problem(problem);
  INVARIANT(reason != nullptr && reason[0] != '\0', "no reason text for %d",
              static_cast<int>(problem));
  return 0;
}

}  // namespace kelvra::fuzz
