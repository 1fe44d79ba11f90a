// The entry-name check's reasons in words, for the packer's messages. A file of its
// own so that the installer, which only ever says "This file is corrupted.", doesn't
// carry the texts.
#include "archive/names.h"

namespace kelvra {

const char* describe_name_problem(NameProblem problem) {
  switch (problem) {
    case NameProblem::none:
      return "the name is fine";
    case NameProblem::empty:
      return "the name is empty";
    case NameProblem::absolute:
      return "the name starts with a separator (an absolute or network path)";
    case NameProblem::colon:
      return "the name holds a colon (a drive or a data stream)";
    case NameProblem::parent_component:
      return "the name has a '..' part (or a part of only dots and blanks)";
    case NameProblem::device_name:
      return "the name has a part that is a Windows device name";
    case NameProblem::control_character:
      return "the name holds a control character (a byte below 0x20)";
  }
  return "the name is not allowed";
}

}  // namespace kelvra
