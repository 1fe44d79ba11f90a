// Test helper: an extraction run from an installer file written beside a fresh target
// directory, which is the working directory while the test runs; each case of a table
// starts with nothing scripted, shown or started.
#pragma once

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/extract.h"
#include "output/output.h"
#include "platform/posix_testing.h"
#include "tests/unit/archive_builder.h"
#include "tests/unit/scripted_questions.h"

namespace kelvra::test {

inline const Bytes stand_in_stub = {'M', 'Z', 0x90, 0};

inline void put(const std::string& path, const std::string& content, bool read_only = false) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent);
  ASSERT_TRUE(write_file(path, {}, Bytes(content.begin(), content.end())));
  if (read_only) chmod(path.c_str(), 0444);
}

// Zero-filled when the path names nothing; links are not followed.
inline struct stat stat_of(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return st;
}

// Every regular file under dir (links and folders aside) with its content.
inline std::map<std::string, std::string> files_under(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    if (e.is_regular_file() && !e.is_symlink()) files[e.path().lexically_relative(dir).string()] = read_all(e.path());
  }
  return files;
}

class ExtractionRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root.path().empty());
    target = root.file("target");
    fresh_target();
  }
  void TearDown() override {
    platform::testing::fail_allocation_after(-1);
    fresh_target();
    std::filesystem::current_path(previous);
  }

  virtual void fresh_target() {
    std::filesystem::current_path(root.path());
    release_archive();
    if (!mounted.empty()) umount2(mounted.c_str(), MNT_DETACH);
    mounted.clear();
    std::filesystem::remove_all(target);
    std::filesystem::create_directory(target);
    std::filesystem::current_path(target);
    scripted::reset();
    platform::testing::reset_starts();
    overwrite_policy = OverwritePolicy::ask;
  }

  // Runs body on each case of a table, its name traced, in a fresh target.
  template <typename Cases, typename Body>
  void for_each_case(const Cases& cases, Body body) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      fresh_target();
      body(c);
    }
  }

  // Writes the installer file outside the target and opens it as the running program.
  void open(const Bytes& bytes) {
    installer = root.file("setup.bin");
    ASSERT_TRUE(write_file(installer, stand_in_stub, bytes));
    ASSERT_EQ(open_archive(installer.c_str()), 0);
  }

  // The paths of the write failures reported so far, in order.
  static std::vector<std::string> reported() {
    std::vector<std::string> paths;
    for (const auto& call : scripted::calls_of(scripted::CallKind::write_failure)) paths.push_back(call.path);
    return paths;
  }

  TempDir root;
  std::string target, installer, mounted;
  const std::filesystem::path previous = std::filesystem::current_path();
  std::vector<std::string>& messages = scripted::shown();
};

}  // namespace kelvra::test
