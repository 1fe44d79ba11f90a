// Test helper: an extraction run from an installer file written beside a fresh target
// directory, which is the working directory while the test runs. Every report of the
// run is kept in order, and scripted answers and start records begin empty.
#pragma once

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/extract.h"
#include "output/output.h"
#include "platform/posix_testing.h"
#include "tests/unit/archive_builder.h"
#include "tests/unit/scripted_questions.h"

namespace kelvra::test {

inline const Bytes stand_in_stub = {'M', 'Z', 0x90, 0, 3, 0, 0, 0};

class ExtractionRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root.path().empty());
    target = root.file("target");
    previous = std::filesystem::current_path();
    overwrite_policy = OverwritePolicy::ask;
    fresh_target();
  }
  void TearDown() override {
    scripted::reset();
    platform::testing::fail_allocation_after(-1);
    std::filesystem::current_path(previous);
    close_archive();
    platform::close_file(archive.file);
    archive.file = platform::invalid_file;
    if (!mounted.empty()) umount2(mounted.c_str(), MNT_DETACH);
  }

  // An empty target to stand in, with nothing scripted, shown or started yet; each case
  // of a table starts here.
  void fresh_target() {
    std::filesystem::current_path(root.path());
    std::filesystem::remove_all(target);
    std::filesystem::create_directory(target);
    std::filesystem::current_path(target);
    close_archive();
    platform::close_file(archive.file);
    archive.file = platform::invalid_file;
    scripted::reset();
    platform::testing::reset_starts();
    messages.clear();
  }

  // Writes the installer file outside the target and opens it as the running program.
  void open(const Bytes& bytes) {
    installer = root.file("setup.bin");
    ASSERT_TRUE(write_file(installer, stand_in_stub, bytes));
    ASSERT_EQ(open_archive(installer.c_str()), 0);
    messages.clear();
  }

  // A small tmpfs as the target; false (and the reason) when this machine won't allow it.
  bool mount_target(unsigned long flags, std::string* reason) {
    if (mount("tmpfs", target.c_str(), "tmpfs", flags, "size=64k") != 0) {
      *reason = std::strerror(errno);
      return false;
    }
    mounted = target;
    std::filesystem::current_path(target);  // the mount hides the directory the process stood in
    return true;
  }

  // The paths of the write failures reported so far, in order.
  static std::vector<std::string> reported() {
    std::vector<std::string> paths;
    for (const auto& call : scripted::calls_of(scripted::CallKind::write_failure)) paths.push_back(call.path);
    return paths;
  }

  TempDir root;
  std::string target, installer, mounted;
  std::filesystem::path previous;
  // What the installer's message area would have shown, entry by entry.
  std::vector<std::string>& messages = scripted::shown();
};

}  // namespace kelvra::test
