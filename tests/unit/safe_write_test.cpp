// Writing into a target that holds links, and replacing files without ever losing the
// old one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/unit/extraction_fixture.h"

namespace kelvra {
namespace {

namespace fs = std::filesystem;
using test::put;
using test::read_all;
using Files = std::map<std::string, std::string>;

// A target and, beside it, a folder of files (one read-only) that the run must never touch.
class SafeWrite : public test::ExtractionRun {
 protected:
  void fresh_target() override {
    ExtractionRun::fresh_target();
    fs::remove_all(outside);
    put(outside + "/victim.txt", "precious", true);
    put(outside + "/config.ini", "outside settings");
    overwrite_policy = OverwritePolicy::replace_all;
  }
  void expect_outside(const Files& files) {
    EXPECT_EQ(test::files_under(outside), files);
    EXPECT_EQ(test::stat_of(outside + "/victim.txt").st_mode & 0222, 0u);
  }
  void extract_with_one_after(const std::string& entry) {
    open(test::build_archive({{entry, "from the archive"}, {"after.txt", "next"}}));
    EXPECT_EQ(extract_all(), 0);
    EXPECT_EQ(read_all("after.txt"), "next");
  }

  const std::string outside = root.file("outside");
  const Files untouched = {{"config.ini", "outside settings"}, {"victim.txt", "precious"}};
};

TEST_F(SafeWrite, LinksInTheTargetAreNeverWrittenThrough) {
  const struct {
    const char* name;
    std::string link, to;  // to: under outside
    std::string entry;
    bool refused;  // reported, not written
  } cases[] = {
      {"folder part links outside", "sub", "", "sub\\evil.txt", true},
      {"deeper folder part links outside", "a/b", "", "a\\b\\c\\d.txt", true},
      {"folder part is a dangling link", "sub", "/missing", "sub/x.txt", true},
      {"the entry's name links to a read-only file outside", "name.txt", "/victim.txt", "name.txt", false},
      {"the entry's name is a dangling link", "name.txt", "/new.txt", "name.txt", false},
  };
  for_each_case(cases, [&](const auto& c) {
    if (c.link.find('/') != std::string::npos) fs::create_directories(fs::path(c.link).parent_path());
    ASSERT_EQ(0, symlink((outside + c.to).c_str(), c.link.c_str()));

    extract_with_one_after(c.entry);

    expect_outside(untouched);
    EXPECT_EQ(reported(), c.refused ? std::vector<std::string>{c.entry} : std::vector<std::string>{});
    if (!c.refused) {
      EXPECT_FALSE(fs::is_symlink(c.entry));
      EXPECT_EQ(read_all(c.entry), "from the archive");
    }
  });
}

// A folder swapped for a link to outside after every check, right after a folder is
// made (from the directory listener) and before the file is: what stood checked must
// not lead the write elsewhere, whichever way paths are resolved.
struct {
  std::string after, folder, to;
  bool done;
} swapping;

void swap_for_link(const char* path, platform::DirectoryResult) {
  if (swapping.done || swapping.after != path) return;
  swapping.done = true;
  ASSERT_EQ(0, rename(swapping.folder.c_str(), (swapping.folder + ".moved").c_str()));
  ASSERT_EQ(0, symlink(swapping.to.c_str(), swapping.folder.c_str()));
}

TEST_F(SafeWrite, AFolderSwappedForALinkAfterTheChecksIsNotWrittenThrough) {
  const struct {
    const char* name;
    std::vector<std::string> folders;  // made first; "~" stands for outside
    std::string entry, swap_after, swapped;
    const char* planted;  // a file in the target; nullptr: none
  } cases[] = {
      {"new folder", {}, "sub\\evil.txt", "sub", "sub", nullptr},
      {"higher folder, the deepest one just made", {"a", "~/b"}, "a\\b\\c.txt", "a\\b", "a", nullptr},
      {"folder of a file being replaced", {}, "sub\\config.ini", "sub", "sub", "sub/config.ini"},
  };
  for (const bool part_by_part : {false, true}) {
    platform::testing::resolve_part_by_part(part_by_part);
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (part_by_part ? ", part by part" : ", in one step"));
      fresh_target();
      for (const std::string& folder : c.folders) fs::create_directory(folder[0] == '~' ? outside + folder.substr(1) : folder);
      if (c.planted != nullptr) put(c.planted, "old settings");
      swapping = {c.swap_after, c.swapped, outside, false};
      platform::testing::set_directory_listener(swap_for_link);

      extract_with_one_after(c.entry);

      platform::testing::set_directory_listener(nullptr);
      EXPECT_TRUE(swapping.done);
      expect_outside(untouched);
      EXPECT_EQ(reported(), std::vector<std::string>{c.entry});
    }
  }
  platform::testing::resolve_part_by_part(false);
}

// Every call that acts on an output path refuses one through a linked folder.
TEST_F(SafeWrite, OutputCallsRefuseAPathThroughALinkedFolder) {
  const struct {
    const char* name;
    bool (*call)();  // true when the call claims success
  } calls[] = {
      {"create a file", [] {
         platform::file_t file = platform::invalid_file;
         std::uint32_t error = 0;
         const bool made = platform::create_new_file("link\\new.txt", 0x20, &file, &error) == platform::CreateResult::created;
         platform::close_file(file);
         return made || error != platform::error_link_in_path;
       }},
      {"create a folder", [] { return platform::create_directory("link\\dir") != platform::DirectoryResult::other; }},
      {"delete a file", [] { return platform::delete_file("link\\victim.txt"); }},
      {"make a file writable", [] { return platform::set_attributes_normal("link\\victim.txt"); }},
      {"set attributes", [] { return platform::set_attributes("link\\victim.txt", 0x20); }},
      {"replace a file", [] {
         std::uint32_t error = 0;
         return platform::replace_file("link\\config.ini", "link\\victim.txt", &error) != platform::ReplaceResult::failed;
       }},
  };
  ASSERT_EQ(0, symlink(outside.c_str(), "link"));
  for (const bool part_by_part : {false, true}) {
    platform::testing::resolve_part_by_part(part_by_part);
    for (const auto& c : calls) {
      SCOPED_TRACE(std::string(c.name) + (part_by_part ? ", part by part" : ", in one step"));
      EXPECT_FALSE(c.call());
      expect_outside(untouched);
    }
  }
  platform::testing::resolve_part_by_part(false);
}

// The user's files (read-only, as they may be) are replaced through a temporary beside
// them that takes the name only once whole, and never costs a file.
TEST_F(SafeWrite, ReplaceKeepsTheOldFileUntilTheNewOneIsWhole) {
  const struct {
    const char* name;
    Files planted;
    std::vector<test::FileSpec> entries;
    bool damaged;  // the first chunk doesn't decode
    int held;      // replaces that find the old file in use (a scanner's look)
    Files after;
    std::vector<std::string> reported;
    std::uint32_t paused;  // 16 + 32 + ... + 1024 ms at most
  } cases[] = {
      {"past a read-only leftover of a cut-short run", {{"a.txt", "old"}, {"a.txt.kelvra-new", "stale"}}, {{"a.txt", "new a"}}, false, 0, {{"a.txt", "new a"}}, {}, 0},
      {"read-only entry, held for a moment", {{"a.txt", "old"}}, {{"a.txt", "new a", 0x21}}, false, 1, {{"a.txt", "new a"}}, {}, 16},
      {"held throughout: left quietly", {{"a.txt", "old"}}, {{"a.txt", "new a"}}, false, 8, {{"a.txt", "old"}}, {}, 2032},
      {"chunk that does not decode", {{"a.txt", "old"}}, {{"a.txt", "new a"}}, true, 0, {{"a.txt", "old"}}, {"a.txt"}, 0},
      {"an entry named like the temporary comes first", {{"a.txt", "old"}}, {{"a.txt.kelvra-new", "an entry"}, {"a.txt", "new a"}}, false, 0, {{"a.txt", "new a"}, {"a.txt.kelvra-new", "an entry"}}, {}, 0},
  };
  // A file that takes an existing name may get the old file's times, as on NTFS.
  platform::testing::tunnel_times(true);
  for_each_case(cases, [&](const auto& c) {
    for (const auto& [path, content] : c.planted) put(path, content, true);
    test::Bytes bytes = test::build_archive(c.entries);
    if (c.damaged) {
      bytes[2] ^= 0xff;
      test::fix_checksum(bytes);
    }
    open(bytes);
    platform::testing::paused_milliseconds();
    platform::testing::hold_replace_target(c.held);

    EXPECT_EQ(extract_all(), 0);

    platform::testing::hold_replace_target(0);
    EXPECT_EQ(platform::testing::paused_milliseconds(), c.paused);
    EXPECT_EQ(test::files_under(target), c.after);
    EXPECT_EQ(reported(), c.reported);
    // a.txt has the entry's times and attributes once replaced, else it is the old file.
    const bool replaced = c.after.at("a.txt") == "new a";
    const struct stat st = test::stat_of("a.txt");
    EXPECT_EQ(st.st_mtim.tv_sec == 946684800, replaced);
    EXPECT_EQ((st.st_mode & 0222) == 0, !replaced || c.entries.back().attributes == 0x21);
  });
  platform::testing::tunnel_times(false);
}

// The temporary's suffix is no entry's ending, or a leftover's deletion would take it.
TEST_F(SafeWrite, TheTemporarysSuffixIsNoEntrysEnding) {
  const struct {
    const char* name;
    std::vector<std::string> entries;
    const char* suffix;
  } cases[] = {
      {"no entry like it", {"a.txt", "kelvra-new", "a.kelvra-new.txt"}, ".kelvra-new"},
      {"one entry like it", {"sub\\a.txt.kelvra-new"}, ".kelvra-new0001"},
      {"in capitals", {"A.TXT.KELVRA-NEW"}, ".kelvra-new0001"},
      {"trailing dots and blanks, which Windows drops", {"a.txt.kelvra-new. ."}, ".kelvra-new0001"},
      {"the one after 9", {"x.kelvra-new", "1.kelvra-new0001", "2.kelvra-new0002", "3.kelvra-new0003", "4.kelvra-new0004", "5.kelvra-new0005", "6.kelvra-new0006", "7.kelvra-new0007", "8.kelvra-new0008", "9.kelvra-new0009"}, ".kelvra-new0010"},
  };
  for_each_case(cases, [&](const auto& c) {
    std::vector<test::FileSpec> files;
    for (const std::string& name : c.entries) files.push_back({name, "x"});
    open(test::build_archive(files));
    EXPECT_EQ(extract_all(), 0);
    EXPECT_STREQ(replacement_suffix, c.suffix);
  });
}

TEST(ReparseTags, OnlyNameSurrogatesAreLinks) {
  const struct {
    const char* name;
    std::uint32_t tag;
    bool link;
  } cases[] = {
      {"symbolic link", 0xA000000Cu, true},
      {"junction", 0xA0000003u, true},
      {"no tag told (Wine's symbolic links)", 0u, true},
      {"cloud files placeholder", 0x9000601Au, false},
      {"data deduplication", 0x80000013u, false},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::reparse_tag_is_link(c.tag), c.link) << c.name;
}

}  // namespace
}  // namespace kelvra
