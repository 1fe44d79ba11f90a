// The after-run program: which file is started (target folder, extensions, PATH) and
// with which command line, read back from the platform's start record.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "archive/after_run.h"
#include "tests/unit/extraction_fixture.h"

namespace kelvra {
namespace {

namespace fs = std::filesystem;

// The installer's file names the program and its two arguments; PATH is put back.
class AfterRun : public test::ExtractionRun {
 protected:
  void TearDown() override {
    setenv("PATH", saved_path.c_str(), 1);
    ExtractionRun::TearDown();
  }
  void program(const char* file, const char* arg1, const char* arg2) { open(test::build_archive({}, {"", file, arg1, arg2})); }
  std::string expand(std::string text) {
    for (std::size_t at; (at = text.find("{root}")) != std::string::npos;) text.replace(at, 6, root.path());
    return text;
  }
  const std::string saved_path = getenv("PATH") != nullptr ? getenv("PATH") : "";
};

TEST_F(AfterRun, LooksUpTheFileAndBuildsTheCommandLine) {
  const struct {
    const char* name;
    const char* program;
    const char* arg1;
    const char* arg2;
    std::vector<const char*> files;  // under the root; target/ is the working directory
    const char* path;                // PATH, {root} expanded
    const char* started;             // nullptr: nothing started
    const char* command_line;
  } cases[] = {
      {"empty program starts nothing", "", "a", "b", {"target/.exe"}, "", nullptr, nullptr},
      {"arguments verbatim", "setup.exe", "/D=C:\\Program Files", "\"x y\"", {"target/setup.exe"}, "", "setup.exe", "setup.exe /D=C:\\Program Files \"x y\""},
      {".com before .exe", "setup", "", "", {"target/setup.exe", "target/setup.bat", "target/setup.com"}, "", "setup.com", "setup  "},
      {".bat before .cmd", "setup", "", "", {"target/setup.cmd", "target/setup.bat"}, "", "setup.bat", "setup  "},
      {"a dot means no extension is tried", "tool.v2", "", "", {"target/tool.v2.exe"}, "", nullptr, nullptr},
      {"a dotted name as it is", "tool.v2", "", "", {"target/tool.v2"}, "", "tool.v2", "tool.v2  "},
      {"target folder before PATH", "tool.exe", "", "", {"target/tool.exe", "bin/tool.exe"}, "{root}/bin", "tool.exe", "tool.exe  "},
      {"found only on PATH", "tool.exe", "1", "2", {"bin/tool.exe", "other/else.exe"}, ";\"{root}/other\";;{root}/missing;\"{root}/b\"in", "{root}/bin\\tool.exe", "tool.exe 1 2"},
      {"no second backslash", "tool", "", "", {"bin/tool.cmd"}, "{root}/bin\\", "{root}/bin\\tool.cmd", "tool  "},
      {"folder part from the working directory", "sub/tool.exe", "", "", {"target/sub/tool.exe"}, "", "sub/tool.exe", "sub/tool.exe  "},
      {"a name with / is not searched on PATH", "sub/tool.exe", "", "", {"bin/sub/tool.exe"}, "{root}/bin", nullptr, nullptr},
      {"a name with \\ is searched on PATH", "sub\\tool.exe", "", "", {"bin/sub/tool.exe"}, "{root}/bin", "{root}/bin\\sub\\tool.exe", "sub\\tool.exe  "},
      {"nowhere", "tool", "", "", {"bin/tool.txt"}, "{root}/bin", nullptr, nullptr},
  };
  for_each_case(cases, [&](const auto& c) {
    fs::remove_all(root.file("bin"));
    fs::remove_all(root.file("other"));
    for (const char* file : c.files) test::put(root.file(file), "x");
    setenv("PATH", expand(c.path).c_str(), 1);
    program(c.program, c.arg1, c.arg2);

    start_run_program();

    ASSERT_EQ(platform::testing::start_count(), c.started != nullptr ? 1 : 0);
    if (c.started == nullptr) return;
    EXPECT_EQ(platform::testing::last_start()->file, expand(c.started));
    EXPECT_STREQ(platform::testing::last_start()->command_line, c.command_line);
  });
}

TEST_F(AfterRun, OnlyElevationRequiredFallsBackToTheShell) {
  const struct {
    const char* name;
    const char* arg1;
    const char* arg2;
    std::uint32_t error;     // of the direct start
    const char* parameters;  // handed to the shell; nullptr: no shell start
  } cases[] = {
      {"elevation required", "/D=C:\\Program Files", "\"x y\"", platform::error_elevation_required, "/D=C:\\Program Files \"x y\""},
      {"elevation required, empty arguments keep their blank", "", "", platform::error_elevation_required, " "},
      {"another error (file not found)", "/S", "", 2, nullptr},
  };
  for_each_case(cases, [&](const auto& c) {
    test::put("setup.exe", "x");
    program("setup", c.arg1, c.arg2);
    platform::testing::fail_next_start(c.error);

    start_run_program();

    ASSERT_EQ(platform::testing::start_count(), 1);
    ASSERT_EQ(platform::testing::shell_start_count(), c.parameters != nullptr ? 1 : 0);
    if (c.parameters == nullptr) return;
    EXPECT_STREQ(platform::testing::last_shell_start()->file, "setup.exe");
    EXPECT_STREQ(platform::testing::last_shell_start()->parameters, c.parameters);
  });
}

TEST_F(AfterRun, ACommandLineThatDoesNotFitIsRefused) {
  program("setup.exe", "abc", "");
  char buffer[15];
  EXPECT_TRUE(build_run_command_line(buffer, sizeof buffer));
  EXPECT_STREQ(buffer, "setup.exe abc ");
  EXPECT_FALSE(build_run_command_line(buffer, sizeof buffer - 1));
}

}  // namespace
}  // namespace kelvra
