// The extraction run end to end: archives written to disk, opened by the reader and
// extracted into a fresh target directory, with the user's answers scripted.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "resources/strings.h"
#include "tests/unit/extraction_fixture.h"

namespace kelvra {
namespace {

namespace fs = std::filesystem;
using scripted::CallKind;
using test::Bytes;
using test::FileSpec;
using test::noise;
using test::read_all;

constexpr std::uint64_t unix_epoch_filetime = 116444736000000000ull;
constexpr std::uint64_t filetime_of(std::int64_t unix_seconds) {
  return unix_epoch_filetime + static_cast<std::uint64_t>(unix_seconds) * 10000000ull;
}

using Extraction = test::ExtractionRun;

TEST_F(Extraction, RoundTripKeepsDataTimesAndAttributes) {
  const std::string big = noise(25000, 7);
  std::vector<FileSpec> files = {
      {"big.bin", big, 0x20, filetime_of(1300000000)},
      {"a\\b\\c\\file.txt", "nested", 0x20, filetime_of(1400000000)},
      {"x/y/z.txt", "slashes only", 0x20, filetime_of(1400000001)},
      {"m/n\\mixed.txt", "mixed", 0x20, filetime_of(1400000002)},
      {"empty.txt", "", 0x01, filetime_of(1500000000)},
      {"ro.txt", "read-only data", 0x21, filetime_of(1600000000)},
      {"setup.exe", "MZ", 0x20, filetime_of(1000000000)},
  };
  Bytes bytes = test::build_archive(files, {"", "setup", "/S", ""});
  // A stored (incompressible) piece is longer than 10,000 bytes and must still fit.
  ASSERT_GT(format::read_u16(bytes.data()), 10000);
  open(bytes);

  EXPECT_EQ(extract_all(), 0);

  std::vector<std::string> expected_messages;
  for (const FileSpec& spec : files) {
    std::string path = spec.name;
    std::replace(path.begin(), path.end(), '\\', '/');
    SCOPED_TRACE(path);
    EXPECT_EQ(read_all(path), spec.content);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(filetime_of(st.st_mtim.tv_sec), spec.time);
    EXPECT_EQ((st.st_mode & S_IWUSR) == 0, (spec.attributes & 0x01) != 0);
    expected_messages.push_back("  inflating: " + spec.name);
    expected_messages.push_back(spec.name);
  }
  EXPECT_EQ(messages, expected_messages);
  EXPECT_TRUE(scripted::calls().empty());
  EXPECT_EQ(fs::current_path(), fs::path(target));

  const platform::testing::StartRecord* start = platform::testing::last_start();
  ASSERT_NE(start, nullptr);
  EXPECT_STREQ(start->file, "setup.exe");
  EXPECT_STREQ(start->command_line, "setup /S ");
}

struct Existing {
  std::string path;
  std::string content;  // empty with directory set: a directory in the file's place
  bool read_only = false;
  bool directory = false;
};

struct PolicyCase {
  const char* name;
  std::vector<Existing> existing;
  std::vector<std::string> entries;  // each extracted with content "new <name>"
  std::vector<int> answers;
  std::vector<const char*> new_names;                      // nullptr: the prompt is cancelled
  std::vector<std::string> questions;                      // paths asked about, in order
  std::vector<std::string> prompt_dirs;                    // working directory (under target) at each prompt
  std::vector<std::pair<std::string, std::string>> files;  // afterwards; "-" absent, "/" dir
  int result = 0;
  std::vector<std::string> expected_messages = {};  // empty: not checked
};

TEST_F(Extraction, OverwritePolicyFollowsTheAnswers) {
  const PolicyCase cases[] = {
      {"replace", {{"a.txt", "old"}}, {"a.txt"}, {answer_replace}, {}, {"a.txt"}, {}, {{"a.txt", "new a.txt"}}},
      {"skip then a free name", {{"a.txt", "old"}}, {"a.txt", "b.txt"}, {answer_skip}, {}, {"a.txt"}, {}, {{"a.txt", "old"}, {"b.txt", "new b.txt"}}, 0, {"a.txt", "  inflating: b.txt", "b.txt"}},
      {"replace all", {{"a.txt", "old"}, {"b.txt", "old"}}, {"a.txt", "b.txt", "c.txt"}, {answer_replace_all}, {}, {"a.txt"}, {}, {{"a.txt", "new a.txt"}, {"b.txt", "new b.txt"}, {"c.txt", "new c.txt"}}},
      {"skip all", {{"a.txt", "old"}, {"c.txt", "old"}}, {"a.txt", "b.txt", "c.txt", "d.txt"}, {answer_skip_all}, {}, {"a.txt"}, {}, {{"a.txt", "old"}, {"b.txt", "new b.txt"}, {"c.txt", "old"}, {"d.txt", "new d.txt"}}},
      {"read-only file replaced", {{"a.txt", "old", true}}, {"a.txt"}, {answer_replace}, {}, {"a.txt"}, {}, {{"a.txt", "new a.txt"}}},
      {"rename into a clash asks again", {{"a.txt", "old a"}, {"b.txt", "old b"}}, {"a.txt"}, {answer_rename, answer_rename}, {"b.txt", "c.txt"}, {"a.txt", "b.txt"}, {"", ""}, {{"a.txt", "old a"}, {"b.txt", "old b"}, {"c.txt", "new a.txt"}}},
      {"rename in a subdirectory", {{"sub/a.txt", "old"}}, {"sub\\a.txt", "sub\\b.txt"}, {answer_rename}, {"renamed.txt"}, {"sub\\a.txt"}, {"/sub"}, {{"sub/a.txt", "old"}, {"sub/renamed.txt", "new sub\\a.txt"}, {"sub/b.txt", "new sub\\b.txt"}, {"sub/sub", "-"}}, 0, {"  inflating: renamed.txt", "sub\\a.txt", "  inflating: sub\\b.txt", "sub\\b.txt"}},
      {"cancelled rename keeps the name where it was", {{"sub/a.txt", "old"}}, {"sub\\a.txt"}, {answer_rename, answer_skip}, {nullptr}, {"sub\\a.txt", "sub\\a.txt"}, {"/sub"}, {{"sub/a.txt", "old"}, {"sub/sub", "-"}}},
      {"answers outside the list ask again", {{"a.txt", "old"}}, {"a.txt"}, {0, 7, answer_replace}, {}, {"a.txt", "a.txt", "a.txt"}, {}, {{"a.txt", "new a.txt"}}},
      {"closed question cancels after the entry", {{"a.txt", "old"}}, {"z.txt", "a.txt", "b.txt"}, {answer_closed}, {}, {"a.txt"}, {}, {{"z.txt", "new z.txt"}, {"a.txt", "old"}, {"b.txt", "-"}}, 1, {"  inflating: z.txt", "z.txt", "a.txt", "Cancelled by user."}},
  };
  for (const PolicyCase& c : cases) {
    SCOPED_TRACE(c.name);
    fresh_target();
    overwrite_policy = OverwritePolicy::ask;

    for (const Existing& e : c.existing) {
      fs::create_directories(fs::path(e.path).parent_path().empty() ? "." : fs::path(e.path).parent_path());
      if (e.directory) {
        fs::create_directories(fs::path(e.path) / "inside");
        continue;
      }
      std::ofstream(e.path) << e.content;
      if (e.read_only) fs::permissions(e.path, fs::perms::owner_write, fs::perm_options::remove);
    }
    std::vector<FileSpec> files;
    for (const std::string& entry : c.entries) files.push_back({entry, "new " + entry});
    for (int answer : c.answers) scripted::answer_file_exists(answer);
    for (const char* name : c.new_names) {
      if (name == nullptr)
        scripted::cancel_new_name();
      else
        scripted::answer_new_name(name);
    }
    // The after-run program is there to be started unless the run is cancelled.
    open(test::build_archive(files, {"", c.entries.front()}));

    EXPECT_EQ(extract_all(), c.result);

    std::vector<std::string> questions, prompt_dirs;
    for (const scripted::Call& call : scripted::calls_of(CallKind::file_exists)) questions.push_back(call.path);
    for (const scripted::Call& call : scripted::calls_of(CallKind::new_name))
      prompt_dirs.push_back(call.working_directory.substr(target.size()));
    EXPECT_EQ(questions, c.questions);
    EXPECT_EQ(prompt_dirs, c.prompt_dirs);
    EXPECT_TRUE(scripted::calls_of(CallKind::write_failure).empty());
    EXPECT_EQ(scripted::unused_answers(), 0u);
    EXPECT_EQ(fs::current_path(), fs::path(target));
    // A directory in the program's place is no program to start.
    std::string program = c.entries.front();
    std::replace(program.begin(), program.end(), '\\', '/');
    const bool startable = fs::is_regular_file(program);
    EXPECT_EQ(platform::testing::start_count(), c.result == 0 && startable ? 1 : 0);
    for (const auto& [path, content] : c.files) {
      if (content == "-")
        EXPECT_FALSE(fs::exists(path)) << path;
      else if (content == "/")
        EXPECT_TRUE(fs::is_directory(path)) << path;
      else
        EXPECT_EQ(read_all(path), content) << path;
    }
    if (!c.expected_messages.empty()) {
      EXPECT_EQ(messages, c.expected_messages);
    } else if (c.result == 0) {
      EXPECT_EQ(messages.back(), c.entries.back());
    }
  }
}

// A payload whose checksum holds but whose data doesn't decode, as when the file
// changes between the check and the extraction.
TEST_F(Extraction, DamagedEntryEndsWithOneReportAndTheNextIsWhole) {
  auto chunk = [](const std::string& stream) {
    Bytes out;
    test::put_u16(out, static_cast<std::uint16_t>(stream.size()));
    test::put_bytes(out, stream);
    return out;
  };
  auto zlib = [](const std::string& data) {
    Bytes out;
    test::put_chunks(out, data);
    return std::string(out.begin() + 2, out.end());
  };
  const std::string first_piece = noise(10000, 3);
  struct Case {
    const char* name;
    Bytes payload;
    std::size_t written;  // bytes of the damaged entry that reach its file
  } cases[] = {
      {"not a zlib stream", chunk("hello"), 0},
      {"zero-length chunk", chunk(""), 0},
      {"bytes after the stream", chunk(zlib("abc") + "xx"), 0},
      {"chunk longer than the entry", [] { Bytes b; test::put_u16(b, 0xFFFF); test::put_bytes(b, "abc"); return b; }(), 0},
      {"chunk one byte longer than the entry", [&] { Bytes b = chunk(zlib("abc")); ++b[0]; return b; }(), 0},
      {"size not on a chunk boundary", [&] { Bytes b = chunk(zlib("abc")); b.push_back(0x78); return b; }(), 3},
      {"good chunk then a bad one", [&] { Bytes b = chunk(zlib(first_piece)); Bytes bad = chunk("junk"); b.insert(b.end(), bad.begin(), bad.end()); return b; }(), 10000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fresh_target();
    Bytes payload = c.payload, directory;
    test::put_record(directory, "bad.txt", static_cast<std::uint32_t>(payload.size()));
    test::put_record(directory, "good.txt", test::put_chunks(payload, "intact"));
    test::put_strings(directory);
    open(test::finish_archive(payload, directory, 2));

    EXPECT_EQ(extract_all(), 0);
    EXPECT_EQ(reported(), std::vector<std::string>{"bad.txt"});
    EXPECT_EQ(fs::file_size("bad.txt"), c.written);
    EXPECT_EQ(read_all("good.txt"), "intact");
  }
}

TEST_F(Extraction, FullFileSystemReportsEachFailedWriteAndKeepsEarlierFiles) {
  std::string reason;
  if (!mount_target(0, &reason)) GTEST_SKIP() << "can't mount a small tmpfs as the target: " << reason;
  const std::string first = noise(5000, 1);
  const std::string big = noise(300000, 2);
  open(test::build_archive({{"first.bin", first}, {"big.bin", big}, {"later.txt", "x"}}));

  EXPECT_EQ(extract_all(), 0);
  EXPECT_EQ(read_all("first.bin"), first);
  const std::size_t kept = fs::file_size("big.bin");
  ASSERT_LT(kept, big.size());
  EXPECT_EQ(read_all("big.bin"), big.substr(0, kept));

  // Once the disk is full, every chunk from the one that didn't fit on is reported.
  std::size_t big_reports = 0, later_reports = 0;
  for (const scripted::Call& call : scripted::calls_of(CallKind::write_failure)) {
    EXPECT_EQ(call.error, static_cast<std::uint32_t>(ENOSPC));
    if (call.path == "big.bin") ++big_reports;
    if (call.path == "later.txt") ++later_reports;
  }
  EXPECT_EQ(big_reports, 30 - kept / 10000);
  EXPECT_EQ(later_reports, 1u);
  EXPECT_EQ(messages.back(), "later.txt");
}

TEST_F(Extraction, ReadOnlyTargetReportsEachEntryOnce) {
  std::string reason;
  if (geteuid() == 0) {
    // Permission bits don't stop root; a read-only mount does.
    if (!mount_target(MS_RDONLY, &reason)) GTEST_SKIP() << "can't mount a read-only tmpfs as the target: " << reason;
  } else {
    fs::permissions(target, fs::perms::owner_write, fs::perm_options::remove);
  }
  open(test::build_archive({{"a.bin", noise(25000, 5)}, {"sub\\b.txt", "b"}}));

  EXPECT_EQ(extract_all(), 0);
  EXPECT_EQ(reported(), (std::vector<std::string>{"a.bin", "sub\\b.txt"}));
  EXPECT_TRUE(fs::is_empty(target));
  EXPECT_EQ(messages, (std::vector<std::string>{"a.bin", "sub\\b.txt"}));
  if (mounted.empty()) fs::permissions(target, fs::perms::owner_write, fs::perm_options::add);
}

TEST_F(Extraction, MemoryStaysFixedWhateverTheSize) {
  const std::string data = noise(40000, 9) + std::string(260000, 'k');
  open(test::build_archive({{"large.bin", data}}));
  // The inflate state and its window; none more however many chunks follow.
  platform::testing::fail_allocation_after(2);
  EXPECT_EQ(extract_all(), 0);
  platform::testing::fail_allocation_after(-1);
  EXPECT_TRUE(scripted::calls().empty());
  EXPECT_EQ(read_all("large.bin"), data);
}

// The host hears of every entry once, in order (and of its file being written only
// when one is), then of the end once with the run's result; the after-run program is
// never started but by the host, so a host that only shows it starts nothing.
TEST_F(Extraction, ReportsEachEntryThenTheEndAndLeavesTheStartToTheHost) {
  struct Case {
    const char* name;
    int answer;  // to the question about the existing b.txt; 0: skip all, none asked
    bool cut;    // the installer loses its payload after the check
    int result;
    std::vector<std::string> shown;
  };
  const Case cases[] = {
      {"complete, one skipped", 0, false, 0, {"  inflating: a.txt", "a.txt", "b.txt", "  inflating: setup.exe", "setup.exe"}},
      {"cancelled at the second", answer_closed, false, 1, {"  inflating: a.txt", "a.txt", "b.txt", TEXT_CANCELLED}},
      {"payload gone after the check", 0, true, 2, {"  inflating: a.txt", "a.txt", TEXT_CORRUPTED}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fresh_target();
    std::ofstream("b.txt") << "old";
    overwrite_policy = c.answer == 0 ? OverwritePolicy::skip_all : OverwritePolicy::ask;
    if (c.answer != 0) scripted::answer_file_exists(c.answer);
    scripted::start_after_run(false);
    open(test::build_archive({{"a.txt", "first"}, {"b.txt", noise(12000, 3)}, {"setup.exe", "MZ"}},
                             {"", "setup.exe"}));
    if (c.cut) {
      ASSERT_EQ(truncate(installer.c_str(), static_cast<off_t>(payload_start())), 0);
    }

    EXPECT_EQ(extract_all(), c.result);

    EXPECT_EQ(messages, c.shown);
    EXPECT_EQ(scripted::endings(), std::vector<int>{c.result});
    std::vector<std::uint32_t> sizes;
    for (std::uint32_t i = 0; i < scripted::done_sizes().size(); ++i) sizes.push_back(archive.entries[i].stored_size);
    EXPECT_EQ(scripted::done_sizes(), sizes);
    EXPECT_EQ(platform::testing::start_count(), 0);
  }
}

}  // namespace
}  // namespace kelvra
