// The entry-name check: names that would escape the target directory or open a Windows
// device are refused for their reason, and the near miss of each refusal passes.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "archive/names.h"

namespace kelvra {
namespace {

using namespace std::literals;

TEST(EntryNames, EachNameGetsItsReason) {
  const struct {
    std::string_view name;
    NameProblem expected;
    std::size_t length = std::string_view::npos;  // the length given, when not the whole name
  } cases[] = {
      {"", NameProblem::empty},
      {"\\x.txt", NameProblem::absolute},
      {"/etc/passwd", NameProblem::absolute},
      {"C:x.txt", NameProblem::colon},
      {"a\\b:stream", NameProblem::colon},
      {"a/../../b", NameProblem::parent_component},
      {"a\\.\\b", NameProblem::parent_component},
      {"a\\. \\x", NameProblem::parent_component},
      {"a\\ \\b", NameProblem::parent_component},
      // Names are single-byte: a Shift-JIS lead byte never hides the separator after it.
      {"\x83\\..\\x", NameProblem::parent_component},
      {"CON", NameProblem::device_name},
      {"Con.tar.gz", NameProblem::device_name},
      {"nul .txt", NameProblem::device_name},
      {"aux\\x.txt", NameProblem::device_name},
      {"dir\\NUL", NameProblem::device_name},
      {"cOm9.log", NameProblem::device_name},
      {"LPT\xB3", NameProblem::device_name},
      {"conout$.txt", NameProblem::device_name},
      // Current Windows opens COM0 and LPT0 as devices as well.
      {"COM0", NameProblem::device_name},
      // A terminal acts on these when the name is printed, and Windows can't hold them.
      {"\x1f.txt", NameProblem::control_character},
      // The first problem from the left is the one named.
      {"a\x1b\\..", NameProblem::control_character},
      {"con\\a:b", NameProblem::device_name},
      {"a\\b/c.txt", NameProblem::none},
      {"console.txt", NameProblem::none},
      {"com10", NameProblem::none},
      {"COM0x.txt", NameProblem::none},
      {"..a", NameProblem::none},
      {"a..", NameProblem::none},
      {"dir.\\x", NameProblem::none},
      {"a\\\\b", NameProblem::none},
      {" con", NameProblem::none},
      {"\xE9t\xE9.txt", NameProblem::none},
      {"\x7f", NameProblem::none},
      // Only the bytes before the length given and before the first zero byte count.
      {"a.txt\\..", NameProblem::none, 5},
      {"con", NameProblem::none, 2},
      {"ok\0..\\x"sv, NameProblem::none},
      {"co\0"sv, NameProblem::none},
  };
  for (const auto& c : cases) {
    const std::size_t length = c.length == std::string_view::npos ? c.name.size() : c.length;
    EXPECT_EQ(check_entry_name(c.name.data(), length), c.expected) << ::testing::PrintToString(std::string(c.name));
  }
}

}  // namespace
}  // namespace kelvra
