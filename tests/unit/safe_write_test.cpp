// Writing into a target that holds links, replacing files without ever losing the old
// one, and the payload checked again while it is read.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/extract.h"
#include "output/output.h"
#include "platform/posix_testing.h"
#include "resources/strings.h"
#include "tests/unit/archive_builder.h"
#include "tests/unit/scripted_questions.h"
#include "ui/message_area.h"

namespace kelvra {
namespace {

namespace fs = std::filesystem;
using scripted::CallKind;
using test::Bytes;
using test::FileSpec;
using test::read_all;

std::vector<std::string> messages;
void capture_message() {
  char text[message_area_size];
  read_message(text, sizeof text);
  messages.push_back(text);
}

const Bytes stand_in_stub = {'M', 'Z', 0x90, 0, 3, 0, 0, 0};

bool is_link(const std::string& path) {
  struct stat st{};
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}
mode_t mode_of(const std::string& path) {
  struct stat st{};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}
void put(const std::string& path, const std::string& content) {
  ASSERT_TRUE(test::write_file(path, {}, Bytes(content.begin(), content.end())));
}

// A target directory and, beside it, a directory the run must never touch.
class SafeWrite : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root.path().empty());
    target = root.file("target");
    outside = root.file("outside");
    fs::create_directory(target);
    fs::create_directory(outside);
    previous = fs::current_path();
    fs::current_path(target);
    scripted::reset();
    overwrite_policy = OverwritePolicy::replace_all;
    platform::testing::reset_starts();
    message_area_open();
    messages.clear();
    platform::testing::set_message_listener(capture_message);
  }
  void TearDown() override {
    platform::testing::set_message_listener(nullptr);
    fs::current_path(previous);
    if (!mounted.empty()) umount2(mounted.c_str(), MNT_DETACH);
    close_archive();
    platform::close_file(archive.file);
    archive.file = platform::invalid_file;
  }
  void open(const Bytes& bytes) {
    installer = root.file("setup.bin");
    ASSERT_TRUE(test::write_file(installer, stand_in_stub, bytes));
    ASSERT_EQ(open_archive(installer.c_str()), 0);
    messages.clear();
  }
  std::vector<std::string> reported() {
    std::vector<std::string> paths;
    for (const auto& call : scripted::calls_of(CallKind::write_failure)) paths.push_back(call.path);
    return paths;
  }
  std::vector<std::string> outside_names() {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(outside)) names.push_back(e.path().lexically_relative(outside).string());
    std::sort(names.begin(), names.end());
    return names;
  }

  test::TempDir root;
  std::string target, outside, installer, mounted;
  fs::path previous;
};

struct LinkCase {
  const char* name;
  std::function<void(const std::string& outside)> plant;  // run in the target
  std::string entry;
  std::vector<std::string> outside_after;  // what outside holds after the run
  bool refused;                            // reported, not written
};

TEST_F(SafeWrite, LinksInTheTargetAreNeverWrittenThrough) {
  const LinkCase cases[] = {
      {"folder part links outside",
       [](const std::string& out) { ASSERT_EQ(0, symlink(out.c_str(), "sub")); },
       "sub\\evil.txt", {}, true},
      {"deeper folder part links outside",
       [](const std::string& out) {
         ASSERT_EQ(0, mkdir("a", 0777));
         ASSERT_EQ(0, symlink(out.c_str(), "a/b"));
       },
       "a\\b\\c\\d.txt", {}, true},
      {"folder part is a dangling link",
       [](const std::string& out) { ASSERT_EQ(0, symlink((out + "/missing").c_str(), "sub")); },
       "sub/x.txt", {}, true},
      {"the entry's name links to a read-only file outside",
       [](const std::string& out) {
         put(out + "/victim.txt", "precious");
         ASSERT_EQ(0, chmod((out + "/victim.txt").c_str(), 0444));
         ASSERT_EQ(0, symlink((out + "/victim.txt").c_str(), "name.txt"));
       },
       "name.txt", {"victim.txt"}, false},
      {"the entry's name is a dangling link",
       [](const std::string& out) { ASSERT_EQ(0, symlink((out + "/new.txt").c_str(), "name.txt")); },
       "name.txt", {}, false},
  };
  for (const LinkCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(target);
    fs::remove_all(outside);
    fs::create_directory(target);
    fs::create_directory(outside);
    fs::current_path(target);
    c.plant(outside);
    if (fs::exists(outside + "/victim.txt")) fs::permissions(outside + "/victim.txt", fs::perms::owner_read);
    scripted::reset();
    open(test::build_archive({{c.entry, "from the archive"}, {"after.txt", "next"}}));

    EXPECT_EQ(extract_all(), 0);

    EXPECT_EQ(outside_names(), c.outside_after);
    if (fs::exists(outside + "/victim.txt")) {
      EXPECT_EQ(read_all(outside + "/victim.txt"), "precious");
      EXPECT_EQ(mode_of(outside + "/victim.txt") & 0222, 0u);
    }
    EXPECT_EQ(read_all("after.txt"), "next");
    if (c.refused) {
      EXPECT_EQ(reported(), std::vector<std::string>{c.entry});
    } else {
      EXPECT_TRUE(reported().empty());
      EXPECT_FALSE(is_link(c.entry));
      EXPECT_EQ(read_all(c.entry), "from the archive");
    }
    close_archive();
  }
}

// An entry whose only chunk does not inflate, in an archive whose CRC is right.
Bytes damaged_entry_archive(const std::string& name) {
  Bytes payload, directory;
  test::put_u16(payload, 5);
  test::put_bytes(payload, "\x78\x9c\xff\xff\xff");
  test::put_record(directory, name, static_cast<std::uint32_t>(payload.size()));
  test::put_strings(directory);
  return test::finish_archive(payload, directory, 1);
}

struct ReplaceCase {
  const char* name;
  Bytes archive;
  bool replaced;  // the new content took the old one's place
};

TEST_F(SafeWrite, ReplaceKeepsTheOldFileUntilTheNewOneIsWhole) {
  const ReplaceCase cases[] = {
      {"good entry", test::build_archive({{"config.ini", "new settings", 0x20}}), true},
      {"read-only entry", test::build_archive({{"config.ini", "new settings", 0x21}}), true},
      {"chunk that does not decode", damaged_entry_archive("config.ini"), false},
  };
  for (const ReplaceCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(target);
    fs::create_directory(target);
    fs::current_path(target);
    put("config.ini", "old settings");
    ASSERT_EQ(0, chmod("config.ini", 0444));
    // One left by a run cut short must not stand in the way.
    put("config.ini.kelvra-new", "stale");
    scripted::reset();
    open(c.archive);

    EXPECT_EQ(extract_all(), 0);

    EXPECT_FALSE(fs::exists("config.ini.kelvra-new"));
    if (c.replaced) {
      EXPECT_EQ(read_all("config.ini"), "new settings");
      EXPECT_EQ((mode_of("config.ini") & 0222) == 0, (archive.entries[0].attributes & 0x01) != 0);
      struct stat st{};
      ASSERT_EQ(0, stat("config.ini", &st));
      EXPECT_EQ(st.st_mtim.tv_sec, 946684800);
      EXPECT_TRUE(reported().empty());
    } else {
      EXPECT_EQ(read_all("config.ini"), "old settings");
      EXPECT_EQ(mode_of("config.ini") & 0222, 0u);
      EXPECT_EQ(reported(), std::vector<std::string>{"config.ini"});
    }
    close_archive();
  }
}

TEST_F(SafeWrite, ReplaceOnAFullDiskKeepsTheOldFile) {
  if (mount("tmpfs", target.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "no tmpfs here: " << std::strerror(errno);
  }
  mounted = target;
  fs::current_path(target);
  put("data.bin", "the user's data");
  open(test::build_archive({{"data.bin", test::noise(200000, 5)}}));

  EXPECT_EQ(extract_all(), 0);

  EXPECT_EQ(read_all("data.bin"), "the user's data");
  EXPECT_FALSE(fs::exists("data.bin.kelvra-new"));
  EXPECT_FALSE(reported().empty());
}

TEST_F(SafeWrite, AFolderInTheEntrysPlaceIsAFailureUnderReplace) {
  ASSERT_EQ(0, mkdir("a", 0777));
  put("a/keep.txt", "kept");
  open(test::build_archive({{"a", "a file"}}));

  EXPECT_EQ(extract_all(), 0);

  EXPECT_EQ(reported(), std::vector<std::string>{"a"});
  EXPECT_EQ(read_all("a/keep.txt"), "kept");
}

// The payload rewritten on disk after the opening check, with chunks that still
// inflate: what is read is not what was checked.
struct PayloadChange {
  const char* name;
  std::function<void(const std::string& installer)> apply;
  int result;
};

TEST_F(SafeWrite, PayloadChangedAfterTheCheckFailsTheRun) {
  const std::string original = "the installer's own content";
  const std::string forged = "the attacker's own content!";
  Bytes forged_payload;
  test::put_chunks(forged_payload, forged);
  Bytes good = test::build_archive({{"setup.exe", original}, {"b.txt", "bee"}}, {"", "setup.exe"});
  const PayloadChange changes[] = {
      {"nothing changed", [](const std::string&) {}, 0},
      {"first entry's chunks swapped for other valid ones",
       [&](const std::string& path) {
         std::FILE* file = std::fopen(path.c_str(), "r+b");
         ASSERT_NE(file, nullptr);
         std::fseek(file, static_cast<long>(stand_in_stub.size()), SEEK_SET);
         std::fwrite(forged_payload.data(), 1, forged_payload.size(), file);
         std::fclose(file);
       },
       2},
      {"cut inside the payload",
       [](const std::string& path) { ASSERT_EQ(0, truncate(path.c_str(), 20)); }, 2},
  };
  for (const PayloadChange& c : changes) {
    SCOPED_TRACE(c.name);
    // Same compressed length, so the forged chunks fit the record exactly.
    Bytes original_payload;
    ASSERT_EQ(test::put_chunks(original_payload, original), forged_payload.size());
    fs::remove_all(target);
    fs::create_directory(target);
    fs::current_path(target);
    scripted::reset();
    platform::testing::reset_starts();
    open(good);
    c.apply(installer);

    EXPECT_EQ(extract_all(), c.result);

    if (c.result == 0) {
      EXPECT_EQ(platform::testing::start_count(), 1);
    } else {
      EXPECT_EQ(platform::testing::start_count(), 0);
      ASSERT_FALSE(messages.empty());
      EXPECT_EQ(messages.back(), TEXT_CORRUPTED);
    }
    close_archive();
  }
}

}  // namespace
}  // namespace kelvra
