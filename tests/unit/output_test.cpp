// Output paths: the separator searches, the directories made before a file (checked
// call by call), and how the platform tells directory failures apart.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "output/output.h"
#include "platform/posix_testing.h"
#include "tests/unit/archive_builder.h"
#include "tests/unit/scripted_questions.h"

namespace kelvra {
namespace {

namespace fs = std::filesystem;
using platform::DirectoryResult;

TEST(Separators, BackslashPreferredSlashOnlyWithoutAny) {
  struct Case {
    const char* text;
    std::size_t first, last;
  } cases[] = {
      {"setup.exe", 0, 0},
      {"a\\b\\c.txt", 2, 4},
      {"a/b/c.txt", 2, 4},
      {"a/b\\c.txt", 4, 4},
      {"a\\b/c.txt", 2, 2},
      {"\\x.txt", 1, 1},
      {"", 0, 0},
      {"dir\\", 4, 4},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(first_separator_end(c.text), c.first) << c.text;
    EXPECT_EQ(last_separator_end(c.text), c.last) << c.text;
  }
}

struct Created {
  std::string path;
  DirectoryResult result;
  bool operator==(const Created& other) const { return path == other.path && result == other.result; }
};
std::vector<Created> created;
void record_directory(const char* path, DirectoryResult result) { created.push_back({path, result}); }

class InTempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path().empty());
    previous = fs::current_path();
    fs::current_path(dir.path());
    created.clear();
    platform::testing::set_directory_listener(record_directory);
  }
  void TearDown() override {
    platform::testing::set_directory_listener(nullptr);
    fs::current_path(previous);
  }
  test::TempDir dir;
  fs::path previous;
};

using MakeParentDirectories = InTempDir;

TEST_F(MakeParentDirectories, CreatesEachMissingLevelFromTheTop) {
  const auto N = DirectoryResult::not_found;
  const auto C = DirectoryResult::created;
  const auto E = DirectoryResult::exists;
  struct Case {
    const char* path;
    std::vector<std::string> present;  // directories made before the call
    std::vector<Created> expected;
    const char* resulting;  // a directory that must exist afterwards
  } cases[] = {
      {"setup.exe", {}, {}, nullptr},
      {"\\x.txt", {}, {}, nullptr},
      {"a\\b\\c\\file.txt", {}, {{"a\\b\\c", N}, {"a\\", C}, {"a\\b\\", C}, {"a\\b\\c", C}}, "a/b/c"},
      {"a\\b\\file.txt", {"a/b"}, {{"a\\b", E}}, "a/b"},
      {"a\\b\\file.txt", {"a"}, {{"a\\b", C}}, "a/b"},
      {"a/b/file.txt", {}, {{"a/b", N}, {"a/", C}, {"a/b", C}}, "a/b"},
      {"a/b\\file.txt", {}, {{"a/b", N}, {"a/", C}, {"a/b", C}}, "a/b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    fs::remove_all("a");
    for (const std::string& d : c.present) fs::create_directories(d);
    created.clear();
    make_parent_directories(c.path);
    EXPECT_EQ(created, c.expected);
    if (c.resulting != nullptr) {
      EXPECT_TRUE(fs::is_directory(c.resulting));
    }
  }
}

TEST_F(MakeParentDirectories, PlatformTellsMissingParentFromExisting) {
  std::ofstream("plain") << "x";
  fs::create_directory("there");
  EXPECT_EQ(platform::create_directory("missing\\child"), DirectoryResult::not_found);
  EXPECT_EQ(platform::create_directory("plain\\child"), DirectoryResult::not_found);
  EXPECT_EQ(platform::create_directory("there"), DirectoryResult::exists);
  EXPECT_EQ(platform::create_directory("plain"), DirectoryResult::exists);
  EXPECT_EQ(platform::create_directory("there\\new\\"), DirectoryResult::created);
}

using CreateOutputFile = InTempDir;

TEST_F(CreateOutputFile, OtherFailureIsFailedNotSkip) {
  // A file where a directory should be: no clash, no question, just a failure.
  std::ofstream("blocked") << "x";
  std::snprintf(current_path, sizeof current_path, "%s", "blocked\\file.txt");
  OutputFile out = create_output_file(0x20);
  EXPECT_EQ(out.result, OutputResult::failed);
  EXPECT_NE(out.error, 0u);

  std::snprintf(current_path, sizeof current_path, "%s", "fresh\\file.txt");
  out = create_output_file(0x01);
  ASSERT_EQ(out.result, OutputResult::file);
  std::uint32_t error = 0;
  // Read-only from the start, yet writable through the handle that created it.
  EXPECT_TRUE(platform::write_file(out.file, "data", 4, &error));
  platform::close_file(out.file);
  EXPECT_EQ(fs::file_size("fresh/file.txt"), 4u);
  EXPECT_EQ(fs::status("fresh/file.txt").permissions() & fs::perms::owner_write, fs::perms::none);
}

TEST_F(CreateOutputFile, AFileGoneWhileAskedIsWrittenAsNew) {
  std::ofstream("a.txt") << "old";
  std::snprintf(current_path, sizeof current_path, "%s", "a.txt");
  overwrite_policy = OverwritePolicy::ask;
  scripted::reset();
  scripted::answer_file_exists(answer_replace);
  scripted::while_file_exists_asked([](const char* path) { fs::remove(path); });
  const OutputFile out = create_output_file(0x20);
  scripted::reset();
  ASSERT_EQ(out.result, OutputResult::file);
  EXPECT_FALSE(out.replacing);
  platform::close_file(out.file);
  EXPECT_TRUE(fs::exists("a.txt"));
}

}  // namespace
}  // namespace kelvra
