// The after-run program: which file would be started (target directory, extensions,
// PATH) and with which command line, read back from the platform's start record.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive/after_run.h"
#include "archive/archive.h"
#include "archive/extract.h"
#include "platform/posix_testing.h"
#include "tests/unit/archive_builder.h"

namespace kelvra {
namespace {

namespace fs = std::filesystem;

std::string expand(std::string text, const std::string& root) {
  for (std::size_t at; (at = text.find("{root}")) != std::string::npos;) text.replace(at, 6, root);
  return text;
}

class AfterRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root.path().empty());
    fs::create_directory(root.file("target"));
    previous = fs::current_path();
    fs::current_path(root.file("target"));
    const char* path = getenv("PATH");
    saved_path = path != nullptr ? path : "";
    saved = archive;
    archive.run_program = program;
    archive.run_arg1 = arg1;
    archive.run_arg2 = arg2;
    platform::testing::reset_starts();
  }
  void TearDown() override {
    setenv("PATH", saved_path.c_str(), 1);
    archive = saved;
    fs::current_path(previous);
  }
  void set_strings(const std::string& p, const std::string& a1, const std::string& a2) {
    snprintf(program, sizeof program, "%s", p.c_str());
    snprintf(arg1, sizeof arg1, "%s", a1.c_str());
    snprintf(arg2, sizeof arg2, "%s", a2.c_str());
  }

  test::TempDir root;
  fs::path previous;
  std::string saved_path;
  Archive saved;
  char program[format::string_buffer_size] = {};
  char arg1[format::string_buffer_size] = {};
  char arg2[format::string_buffer_size] = {};
};

TEST_F(AfterRun, LooksUpTheFileAndBuildsTheCommandLine) {
  struct Case {
    const char* name;
    const char* program;
    const char* arg1;
    const char* arg2;
    std::vector<const char*> files;  // under the temporary root; target/ is the working directory
    const char* path;                // PATH, {root} expanded
    const char* started;             // nullptr: nothing started
    const char* command_line;
  } cases[] = {
      {"empty program starts nothing", "", "a", "b", {"target/.exe"}, "", nullptr, nullptr},
      {"empty arguments keep their blanks", "setup.exe", "", "", {"target/setup.exe"}, "", "setup.exe", "setup.exe  "},
      {"arguments verbatim", "setup.exe", "/D=C:\\Program Files", "\"x y\"", {"target/setup.exe"}, "", "setup.exe", "setup.exe /D=C:\\Program Files \"x y\""},
      {".com before .exe", "setup", "", "", {"target/setup.exe", "target/setup.bat", "target/setup.com"}, "", "setup.com", "setup  "},
      {".bat before .cmd", "setup", "", "", {"target/setup.cmd", "target/setup.bat"}, "", "setup.bat", "setup  "},
      {"a dot means no extension is tried", "tool.v2", "", "", {"target/tool.v2.exe"}, "", nullptr, nullptr},
      {"a dotted name as it is", "tool.v2", "", "", {"target/tool.v2"}, "", "tool.v2", "tool.v2  "},
      {"target directory before PATH", "tool.exe", "", "", {"target/tool.exe", "bin/tool.exe"}, "{root}/bin", "tool.exe", "tool.exe  "},
      {"found only on PATH", "tool.exe", "1", "2", {"bin/tool.exe", "other/else.exe"}, ";\"{root}/other\";;{root}/missing;\"{root}/b\"in", "{root}/bin\\tool.exe", "tool.exe 1 2"},
      {"no second backslash", "tool", "", "", {"bin/tool.cmd"}, "{root}/bin\\", "{root}/bin\\tool.cmd", "tool  "},
      {"directory part from the working directory", "sub/tool.exe", "", "", {"target/sub/tool.exe"}, "", "sub/tool.exe", "sub/tool.exe  "},
      {"a name with / is not searched on PATH", "sub/tool.exe", "", "", {"bin/sub/tool.exe"}, "{root}/bin", nullptr, nullptr},
      {"a name with \\ is searched on PATH", "sub\\tool.exe", "", "", {"bin/sub/tool.exe"}, "{root}/bin", "{root}/bin\\sub\\tool.exe", "sub\\tool.exe  "},
      {"nowhere", "tool", "", "", {"bin/tool.txt"}, "{root}/bin", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The target is the working directory: emptied, not replaced.
    for (const fs::directory_entry& e : fs::directory_iterator(root.file("target"))) fs::remove_all(e.path());
    fs::remove_all(root.file("bin"));
    fs::remove_all(root.file("other"));
    for (const char* file : c.files) {
      fs::create_directories(fs::path(root.file(file)).parent_path());
      std::ofstream(root.file(file)) << "x";
    }
    setenv("PATH", expand(c.path, root.path()).c_str(), 1);
    set_strings(c.program, c.arg1, c.arg2);
    platform::testing::reset_starts();

    start_run_program();

    const platform::testing::StartRecord* start = platform::testing::last_start();
    if (c.started == nullptr) {
      EXPECT_EQ(start, nullptr);
      continue;
    }
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(start->file, expand(c.started, root.path()));
    EXPECT_STREQ(start->command_line, c.command_line);
    EXPECT_EQ(platform::testing::start_count(), 1);
  }
}

TEST_F(AfterRun, OnlyElevationRequiredFallsBackToTheShell) {
  struct Case {
    const char* name;
    const char* arg1;
    const char* arg2;
    std::uint32_t error;     // of the direct start; 0: it starts
    const char* parameters;  // handed to the shell; nullptr: no shell start
  } cases[] = {
      {"started directly", "/S", "x", 0, nullptr},
      {"elevation required", "/D=C:\\Program Files", "\"x y\"", platform::error_elevation_required,
       "/D=C:\\Program Files \"x y\""},
      {"elevation required, empty arguments keep their blank", "", "", platform::error_elevation_required,
       " "},
      {"another error (file not found)", "/S", "", 2, nullptr},
  };
  std::ofstream(root.file("target/setup.exe")) << "x";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    set_strings("setup", c.arg1, c.arg2);
    platform::testing::reset_starts();
    if (c.error != 0) platform::testing::fail_next_start(c.error);

    start_run_program();

    ASSERT_EQ(platform::testing::start_count(), 1);
    EXPECT_STREQ(platform::testing::last_start()->file, "setup.exe");
    const platform::testing::ShellStartRecord* shell = platform::testing::last_shell_start();
    if (c.parameters == nullptr) {
      EXPECT_EQ(shell, nullptr);
      continue;
    }
    ASSERT_NE(shell, nullptr);
    EXPECT_EQ(platform::testing::shell_start_count(), 1);
    EXPECT_STREQ(shell->file, "setup.exe");
    EXPECT_STREQ(shell->parameters, c.parameters);
  }
}

TEST_F(AfterRun, CommandLineThatDoesNotFitIsRefused) {
  set_strings("setup.exe", "abc", "");
  char buffer[16];
  EXPECT_TRUE(build_run_command_line(buffer, sizeof buffer));
  EXPECT_STREQ(buffer, "setup.exe abc ");
  EXPECT_FALSE(build_run_command_line(buffer, 14));
}

}  // namespace
}  // namespace kelvra
