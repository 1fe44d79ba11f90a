// Fuzz target: the check of a stored entry name. Whatever it lets through stays inside
// the target folder and holds no colon or control byte.
#include "fuzz/support.h"

namespace kelvra::fuzz {

FUZZ_TARGET(names) {
  const NameProblem problem = check_entry_name(in.size > 0 ? reinterpret_cast<const char*>(in.data) : "", in.size);
  const std::string text = up_to_zero(in.bytes(in.size));
  const bool control_or_colon =
      std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == ':'; });
  expect(problem != NameProblem::none || !(leaves_folder(text) || control_or_colon),
         "a name that leaves the folder, or holds a colon or a control byte, was let through");
}

}  // namespace kelvra::fuzz
