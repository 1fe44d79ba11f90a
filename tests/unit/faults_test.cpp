// Faults of the machine during an extraction run: the target directory removed while
// the run is under way. Every later file fails with one report and the run still ends.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/unit/extraction_fixture.h"

namespace kelvra {
namespace {

namespace fs = std::filesystem;
using scripted::CallKind;

// The hook runs inside entry_done on the extraction's thread: the target goes once the
// first entry is done with, that is between two entries.
std::string doomed;
bool removed = false;

void remove_target_after_first_entry() {
  if (!removed && scripted::shown().size() == 2) {
    std::error_code ignored;
    fs::remove_all(doomed, ignored);
    removed = !fs::exists(doomed);
  }
}

using Faults = test::ExtractionRun;

TEST_F(Faults, TargetRemovedMidRunFailsEachLaterFileOnce) {
  doomed = target;
  const std::vector<test::FileSpec> files = {
      {"a.txt", "first"},
      {"b.txt", std::string(25000, 'b')},  // three chunks, one report
      {"sub\\deeper\\c.txt", "nested"},
      {"d.txt", ""},
      {"setup.exe", "MZ"},
  };
  open(test::build_archive(files, {"", "setup", "", ""}));
  removed = false;
  scripted::after_each_entry(remove_target_after_first_entry);

  const int result = extract_all();

  ASSERT_TRUE(removed);
  EXPECT_EQ(result, 0);
  for (const scripted::Call& call : scripted::calls_of(CallKind::write_failure)) {
    EXPECT_NE(call.error, 0u) << call.path;
  }
  EXPECT_EQ(reported(), (std::vector<std::string>{"b.txt", "sub\\deeper\\c.txt", "d.txt", "setup.exe"}));
  EXPECT_TRUE(scripted::calls_of(CallKind::file_exists).empty());
  // Every entry still had its turn, and its name shown.
  std::vector<std::string> names;
  for (const std::string& text : messages) {
    if (text.rfind("  inflating: ", 0) != 0) names.push_back(text);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "b.txt", "sub\\deeper\\c.txt", "d.txt", "setup.exe"}));
  // The after-run program went with the folder: nothing is started.
  EXPECT_EQ(platform::testing::start_count(), 0);
}

}  // namespace
}  // namespace kelvra
