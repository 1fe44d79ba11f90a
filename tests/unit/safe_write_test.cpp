// Writing into a target that holds links, and replacing files without ever losing the
// old one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/unit/extraction_fixture.h"

namespace kelvra {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::read_all;

mode_t mode_of(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}
void put(const std::string& path, const std::string& content) {
  ASSERT_TRUE(test::write_file(path, {}, Bytes(content.begin(), content.end())));
}

// A target directory and, beside it, a directory the run must never touch.
class SafeWrite : public test::ExtractionRun {
 protected:
  void SetUp() override {
    outside = root.file("outside");
    ExtractionRun::SetUp();
    fs::create_directory(outside);
    overwrite_policy = OverwritePolicy::replace_all;
  }
  // Both directories empty again, for the next case of a table.
  void fresh_target() {
    ExtractionRun::fresh_target();
    fs::remove_all(outside);
    fs::create_directory(outside);
  }
  std::vector<std::string> outside_names() {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(outside)) names.push_back(e.path().lexically_relative(outside).string());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string outside;
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
       "sub\\evil.txt",
       {},
       true},
      {"deeper folder part links outside",
       [](const std::string& out) {
         ASSERT_EQ(0, mkdir("a", 0777));
         ASSERT_EQ(0, symlink(out.c_str(), "a/b"));
       },
       "a\\b\\c\\d.txt",
       {},
       true},
      {"folder part is a dangling link",
       [](const std::string& out) { ASSERT_EQ(0, symlink((out + "/missing").c_str(), "sub")); },
       "sub/x.txt",
       {},
       true},
      {"the entry's name links to a read-only file outside",
       [](const std::string& out) {
         put(out + "/victim.txt", "precious");
         ASSERT_EQ(0, chmod((out + "/victim.txt").c_str(), 0444));
         ASSERT_EQ(0, symlink((out + "/victim.txt").c_str(), "name.txt"));
       },
       "name.txt",
       {"victim.txt"},
       false},
      {"the entry's name is a dangling link",
       [](const std::string& out) { ASSERT_EQ(0, symlink((out + "/new.txt").c_str(), "name.txt")); },
       "name.txt",
       {},
       false},
  };
  for (const LinkCase& c : cases) {
    SCOPED_TRACE(c.name);
    fresh_target();
    c.plant(outside);
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
      EXPECT_FALSE(fs::is_symlink(c.entry));
      EXPECT_EQ(read_all(c.entry), "from the archive");
    }
  }
}

// A folder swapped for a link after every check and just before the file is made (from
// the directory listener, which runs right after each folder creation): what stood
// checked must not lead the write elsewhere. Both ways of resolving a path are held to it.
std::function<void(const char* path)> on_directory;
void directory_made(const char* path, platform::DirectoryResult) {
  if (on_directory) on_directory(path);
}

void swap_for_link(const std::string& folder, const std::string& to) {
  ASSERT_EQ(0, rename(folder.c_str(), (folder + ".moved").c_str()));
  ASSERT_EQ(0, symlink(to.c_str(), folder.c_str()));
}

struct SwapCase {
  const char* name;
  std::function<void(const std::string& outside)> before;  // run in the target
  std::string entry;
  std::string swap_after;  // the folder creation after which the swap happens
  std::string swapped;     // the folder swapped for a link to outside
};

TEST_F(SafeWrite, AFolderSwappedForALinkAfterTheChecksIsNotWrittenThrough) {
  const SwapCase cases[] = {
      {"new folder", [](const std::string&) {}, "sub\\evil.txt", "sub", "sub"},
      {"higher folder, the deepest one just made",
       [](const std::string& out) {
         ASSERT_EQ(0, mkdir("a", 0777));
         ASSERT_EQ(0, mkdir((out + "/b").c_str(), 0777));
       },
       "a\\b\\c.txt", "a\\b", "a"},
      {"folder of a file being replaced",
       [](const std::string& out) {
         ASSERT_EQ(0, mkdir("sub", 0777));
         put("sub/config.ini", "old settings");
         put(out + "/config.ini", "outside settings");
       },
       "sub\\config.ini", "sub", "sub"},
  };
  for (const bool part_by_part : {false, true}) {
    for (const SwapCase& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (part_by_part ? ", part by part" : ", in one step"));
      fresh_target();
      c.before(outside);
      const std::vector<std::string> outside_before = outside_names();
      platform::testing::resolve_part_by_part(part_by_part);
      const std::string swap_after = c.swap_after, swapped = c.swapped, out = outside;
      bool swapped_once = false;
      on_directory = [&](const char* path) {
        if (swapped_once || swap_after != path) return;
        swapped_once = true;
        swap_for_link(swapped, out);
      };
      platform::testing::set_directory_listener(directory_made);
      open(test::build_archive({{c.entry, "from the archive"}, {"after.txt", "next"}}));

      EXPECT_EQ(extract_all(), 0);

      platform::testing::set_directory_listener(nullptr);
      platform::testing::resolve_part_by_part(false);
      on_directory = nullptr;
      EXPECT_TRUE(swapped_once);
      EXPECT_EQ(outside_names(), outside_before);
      if (fs::exists(outside + "/config.ini")) {
        EXPECT_EQ(read_all(outside + "/config.ini"), "outside settings");
      }
      if (fs::exists("sub.moved/config.ini")) {
        EXPECT_EQ(read_all("sub.moved/config.ini"), "old settings");
      }
      EXPECT_EQ(reported(), std::vector<std::string>{c.entry});
      EXPECT_EQ(read_all("after.txt"), "next");
    }
  }
}

// Every call that acts on an output path, given one through a folder that is a link:
// each refuses, and what the link points to stays as it was.
struct LinkedCall {
  const char* name;
  std::function<bool()> call;  // true when the call claims success
};

TEST_F(SafeWrite, OutputCallsRefuseAPathThroughALinkedFolder) {
  const LinkedCall calls[] = {
      {"create a file",
       [] {
         platform::file_t file = platform::invalid_file;
         std::uint32_t error = 0;
         const bool made = platform::create_new_file("link\\new.txt", 0x20, &file, &error) ==
                           platform::CreateResult::created;
         platform::close_file(file);
         return made || error != platform::error_link_in_path;
       }},
      {"create a folder", [] { return platform::create_directory("link\\dir") != platform::DirectoryResult::other; }},
      {"delete a file", [] { return platform::delete_file("link\\victim.txt"); }},
      {"make a file writable", [] { return platform::set_attributes_normal("link\\victim.txt"); }},
      {"set attributes", [] { return platform::set_attributes("link\\victim.txt", 0x20); }},
      {"replace a file", [] {
         std::uint32_t error = 0;
         return platform::replace_file("link\\other.txt", "link\\victim.txt", &error) !=
                platform::ReplaceResult::failed;
       }},
  };
  put(outside + "/victim.txt", "precious");
  put(outside + "/other.txt", "other");
  ASSERT_EQ(0, chmod((outside + "/victim.txt").c_str(), 0444));
  ASSERT_EQ(0, symlink(outside.c_str(), "link"));
  for (const bool part_by_part : {false, true}) {
    platform::testing::resolve_part_by_part(part_by_part);
    for (const LinkedCall& c : calls) {
      SCOPED_TRACE(std::string(c.name) + (part_by_part ? ", part by part" : ", in one step"));
      EXPECT_FALSE(c.call());
      EXPECT_EQ(outside_names(), (std::vector<std::string>{"other.txt", "victim.txt"}));
      EXPECT_EQ(read_all(outside + "/victim.txt"), "precious");
      EXPECT_EQ(mode_of(outside + "/victim.txt") & 0222, 0u);
    }
  }
  platform::testing::resolve_part_by_part(false);
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
    fresh_target();
    put("config.ini", "old settings");
    ASSERT_EQ(0, chmod("config.ini", 0444));
    // One left by a run cut short must not stand in the way.
    put("config.ini.kelvra-new", "stale");
    open(c.archive);

    EXPECT_EQ(extract_all(), 0);

    EXPECT_FALSE(fs::exists("config.ini.kelvra-new"));
    if (c.replaced) {
      EXPECT_EQ(read_all("config.ini"), "new settings");
      EXPECT_EQ((mode_of("config.ini") & 0222) == 0, (archive.entries[0].attributes & 0x01) != 0);
      struct stat st {};
      ASSERT_EQ(0, stat("config.ini", &st));
      EXPECT_EQ(st.st_mtim.tv_sec, 946684800);
      EXPECT_TRUE(reported().empty());
    } else {
      EXPECT_EQ(read_all("config.ini"), "old settings");
      EXPECT_EQ(mode_of("config.ini") & 0222, 0u);
      EXPECT_EQ(reported(), std::vector<std::string>{"config.ini"});
    }
  }
}

TEST_F(SafeWrite, ReplaceOnAFullDiskKeepsTheOldFile) {
  std::string reason;
  if (!mount_target(0, &reason)) GTEST_SKIP() << "no tmpfs here: " << reason;
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

struct TemporaryCase {
  const char* name;
  std::vector<test::FileSpec> entries;
  std::function<void()> plant;  // run in the target before the run
};

TEST_F(SafeWrite, TheTemporaryNeverCostsAFile) {
  const TemporaryCase cases[] = {
      {"read-only leftover of a cut-short run", {{"a.txt", "new a"}}, [] {
         put("a.txt", "old a");
         put("a.txt.kelvra-new", "stale");
         ASSERT_EQ(0, chmod("a.txt.kelvra-new", 0444));
       }},
      {"entry named like the temporary, before the entry", {{"a.txt.kelvra-new", "an entry of its own"}, {"a.txt", "new a"}}, [] { put("a.txt", "old a"); }},
      {"entry named like the temporary, after the entry", {{"a.txt", "new a"}, {"a.txt.kelvra-new", "an entry of its own"}}, [] { put("a.txt", "old a"); }},
      {"entries named like the first two temporaries", {{"a.txt", "new a"}, {"a.txt.kelvra-new0001", "one"}, {"a.txt.kelvra-new", "two"}}, [] {
         put("a.txt", "old a");
         put("a.txt.kelvra-new0001", "old one");
       }},
  };
  for (const TemporaryCase& c : cases) {
    SCOPED_TRACE(c.name);
    fresh_target();
    c.plant();
    open(test::build_archive(c.entries));

    EXPECT_EQ(extract_all(), 0);

    for (const test::FileSpec& entry : c.entries) EXPECT_EQ(read_all(entry.name), entry.content) << entry.name;
    EXPECT_TRUE(reported().empty());
    std::size_t files = 0;
    for (const auto& e : fs::directory_iterator(".")) files += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, c.entries.size());
  }
}

struct SuffixCase {
  const char* name;
  std::vector<std::string> entries;
  const char* suffix;  // the temporary's, chosen by the run
};

TEST_F(SafeWrite, TheTemporarysSuffixIsNoEntrysEnding) {
  const SuffixCase cases[] = {
      {"no entry like it", {"a.txt", "kelvra-new", "a.kelvra-new.txt"}, ".kelvra-new"},
      {"one entry like it", {"sub\\a.txt.kelvra-new"}, ".kelvra-new0001"},
      {"in capitals", {"A.TXT.KELVRA-NEW"}, ".kelvra-new0001"},
      {"trailing dots and blanks, which Windows drops", {"a.txt.kelvra-new. ."}, ".kelvra-new0001"},
      {"the first two taken", {"x.kelvra-new0001", "y.kelvra-new"}, ".kelvra-new0002"},
      {"the one after 9", {"x.kelvra-new", "1.kelvra-new0001", "2.kelvra-new0002", "3.kelvra-new0003", "4.kelvra-new0004", "5.kelvra-new0005", "6.kelvra-new0006", "7.kelvra-new0007", "8.kelvra-new0008", "9.kelvra-new0009"}, ".kelvra-new0010"},
  };
  for (const SuffixCase& c : cases) {
    SCOPED_TRACE(c.name);
    fresh_target();
    std::vector<test::FileSpec> files;
    for (const std::string& name : c.entries) files.push_back({name, "x"});
    open(test::build_archive(files));
    EXPECT_EQ(extract_all(), 0);
    EXPECT_STREQ(replacement_suffix, c.suffix);
  }
}

struct HeldCase {
  const char* name;
  int held;       // replaces that find the old file in use
  bool replaced;  // the new content took its place
  std::uint32_t paused;
};

TEST_F(SafeWrite, AFileHeldForAMomentIsWaitedFor) {
  // 16 + 32 + ... + 1024 ms: seven pauses, eight tries.
  const HeldCase cases[] = {
      {"not held", 0, true, 0},
      {"held once", 1, true, 16},
      {"let go at the last try", 7, true, 2032},
      {"held throughout", 8, false, 2032},
  };
  for (const HeldCase& c : cases) {
    SCOPED_TRACE(c.name);
    fresh_target();
    put("a.txt", "old a");
    open(test::build_archive({{"a.txt", "new a"}}));
    platform::testing::paused_milliseconds();
    platform::testing::hold_replace_target(c.held);

    EXPECT_EQ(extract_all(), 0);

    platform::testing::hold_replace_target(0);
    EXPECT_EQ(platform::testing::paused_milliseconds(), c.paused);
    EXPECT_EQ(read_all("a.txt"), c.replaced ? "new a" : "old a");
    // One still held is left as it was, quietly, as a file in use always was.
    EXPECT_TRUE(reported().empty());
    EXPECT_FALSE(fs::exists("a.txt.kelvra-new"));
  }
}

TEST_F(SafeWrite, AReplacedFileHasTheEntrysTimesNotTheOldFilesOnes) {
  // The system may give the file that takes a name the old file's time.
  platform::testing::tunnel_times(true);
  put("a.txt", "old a");
  const timespec old_times[2] = {{1500000000, 0}, {1500000000, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, "a.txt", old_times, 0));
  open(test::build_archive({{"a.txt", "new a", 0x21}}));

  EXPECT_EQ(extract_all(), 0);
  platform::testing::tunnel_times(false);

  EXPECT_EQ(read_all("a.txt"), "new a");
  struct stat st {};
  ASSERT_EQ(0, stat("a.txt", &st));
  EXPECT_EQ(st.st_mtim.tv_sec, 946684800);
  EXPECT_EQ(st.st_mode & 0222, 0u);
}

TEST(ReparseTags, OnlyNameSurrogatesAreLinks) {
  const struct {
    const char* name;
    std::uint32_t tag;
    bool link;
  } cases[] = {
      {"symbolic link", 0xA000000Cu, true},
      {"junction or mount point", 0xA0000003u, true},
      {"WSL symbolic link", 0xA000001Du, true},
      {"no tag told (Wine's symbolic links)", 0u, true},
      {"cloud files placeholder", 0x9000001Au, false},
      {"cloud files placeholder, OneDrive's flavour", 0x9000601Au, false},
      {"cloud files placeholder, last flavour", 0x9000F01Au, false},
      {"old OneDrive", 0x80000021u, false},
      {"projected file system", 0x9000001Cu, false},
      {"data deduplication", 0x80000013u, false},
      {"WIM-backed file", 0x80000008u, false},
      {"single-instance store", 0x80000007u, false},
      {"app execution alias", 0x8000001Bu, false},
      {"AF_UNIX socket", 0x80000023u, false},
      {"container isolation", 0x80000018u, false},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::reparse_tag_is_link(c.tag), c.link) << c.name;
}

}  // namespace
}  // namespace kelvra
