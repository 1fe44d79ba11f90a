// Faults of the machine during an extraction run: the target directory removed while
// the run is under way. Every later file fails with one report and the run still ends.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/extract.h"
#include "output/output.h"
#include "platform/posix_testing.h"
#include "tests/unit/archive_builder.h"
#include "tests/unit/scripted_questions.h"
#include "ui/message_area.h"

namespace kelvra {
namespace {

namespace fs = std::filesystem;
using scripted::CallKind;

// The listener runs inside show_message on the extraction's thread: the target goes
// once the first entry's name has been shown, that is between two entries.
std::string doomed;
bool removed = false;
std::vector<std::string> shown;

void remove_target_after_first_entry() {
  char text[message_area_size];
  read_message(text, sizeof text);
  shown.push_back(text);
  if (!removed && shown.size() == 2) {
    std::error_code ignored;
    fs::remove_all(doomed, ignored);
    removed = !fs::exists(doomed);
  }
}

TEST(Faults, TargetRemovedMidRunFailsEachLaterFileOnce) {
  test::TempDir root;
  ASSERT_FALSE(root.path().empty());
  doomed = root.file("target");
  fs::create_directory(doomed);
  const fs::path previous = fs::current_path();
  fs::current_path(doomed);

  const std::vector<test::FileSpec> files = {
      {"a.txt", "first"},
      {"b.txt", std::string(25000, 'b')},  // three chunks, one report
      {"sub\\deeper\\c.txt", "nested"},
      {"d.txt", ""},
      {"setup.exe", "MZ"},
  };
  const std::string installer = root.file("setup.bin");
  ASSERT_TRUE(test::write_file(installer, {'M', 'Z'}, test::build_archive(files, {"", "setup", "", ""})));
  ASSERT_EQ(open_archive(installer.c_str()), 0);
  scripted::reset();
  overwrite_policy = OverwritePolicy::ask;
  platform::testing::reset_starts();
  message_area_open();
  shown.clear();
  removed = false;
  platform::testing::set_message_listener(remove_target_after_first_entry);

  const int result = extract_all();

  platform::testing::set_message_listener(nullptr);
  fs::current_path(previous);
  close_archive();
  platform::close_file(archive.file);
  archive.file = platform::invalid_file;

  ASSERT_TRUE(removed);
  EXPECT_EQ(result, 0);
  std::vector<std::string> reported;
  for (const scripted::Call& call : scripted::calls_of(CallKind::write_failure)) {
    reported.push_back(call.path);
    EXPECT_NE(call.error, 0u) << call.path;
  }
  EXPECT_EQ(reported, (std::vector<std::string>{"b.txt", "sub\\deeper\\c.txt", "d.txt", "setup.exe"}));
  EXPECT_TRUE(scripted::calls_of(CallKind::file_exists).empty());
  // Every entry still had its turn, and its name shown.
  std::vector<std::string> names;
  for (const std::string& text : shown) {
    if (text.rfind("  inflating: ", 0) != 0) names.push_back(text);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "b.txt", "sub\\deeper\\c.txt", "d.txt", "setup.exe"}));
  // The after-run program went with the folder: nothing is started.
  EXPECT_EQ(platform::testing::start_count(), 0);
}

}  // namespace
}  // namespace kelvra
