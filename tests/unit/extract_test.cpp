// The extraction run from the installer's file to the target: data, times and
// attributes, the answers to clashes, damaged or changed payloads, a full disk, a
// target that goes away under the run, and the payload read ahead in large blocks.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "archive/writer.h"
#include "resources/strings.h"
#include "tests/unit/extraction_fixture.h"

namespace kelvra {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::FileSpec;
using test::noise;
using test::read_all;
using Files = std::map<std::string, std::string>;
using Texts = std::vector<std::string>;

constexpr std::uint64_t filetime_of(std::int64_t unix_seconds) {
  return 116444736000000000ull + static_cast<std::uint64_t>(unix_seconds) * 10000000ull;
}

using Extraction = test::ExtractionRun;

TEST_F(Extraction, FilesComeOutWithTheirDataTimesAndAttributes) {
  const std::vector<FileSpec> files = {
      {"big.bin", noise(25000, 7), 0x20, filetime_of(1300000000)},
      {"a\\b\\c\\file.txt", "nested", 0x20, filetime_of(1400000000)},
      {"x/y/z.txt", "slashes only", 0x20, filetime_of(1400000001)},
      {"m/n\\mixed.txt", "mixed", 0x20, filetime_of(1400000002)},
      {"empty.txt", "", 0x01, filetime_of(1500000000)},
      {"ro.txt", "read-only data", 0x21, filetime_of(1600000000)},
      {"setup.exe", "MZ", 0x20, filetime_of(1000000000)},
  };
  const Bytes bytes = test::build_archive(files);
  // An incompressible piece is stored: a chunk longer than 10,000 bytes that must fit.
  ASSERT_GT(format::read_u16(bytes.data()), 10000);
  open(bytes);

  EXPECT_EQ(extract_all(), 0);

  Texts shown;
  for (const FileSpec& spec : files) {
    std::string path = spec.name;
    std::replace(path.begin(), path.end(), '\\', '/');
    const struct stat st = test::stat_of(path);
    EXPECT_EQ(read_all(path), spec.content) << path;
    EXPECT_EQ(filetime_of(st.st_mtim.tv_sec), spec.time) << path;
    EXPECT_EQ((st.st_mode & 0222) == 0, (spec.attributes & 0x01) != 0) << path;
    shown.insert(shown.end(), {TEXT_INFLATING + spec.name, spec.name});
  }
  EXPECT_EQ(messages, shown);
  EXPECT_TRUE(scripted::calls().empty());
}

struct PolicyCase {
  const char* name;
  Files existing;
  Texts entries;  // each holds "new " and its name
  std::vector<int> answers;
  std::vector<const char*> new_names;  // nullptr: the prompt is closed
  Texts asked;                         // each question's path; "rename" and the prompt's folder
  Files after;                         // every file the target holds
  Texts reported = {};
  int result = 0;
  Texts shown = {};  // empty: not checked
  void (*while_asked)(const char* path) = nullptr;
};

TEST_F(Extraction, ClashesFollowThePolicyAndTheAnswers) {
  const PolicyCase cases[] = {
      {"replace", {{"a.txt", "old"}}, {"a.txt"}, {answer_replace}, {}, {"a.txt"}, {{"a.txt", "new a.txt"}}},
      {"skip then a free name", {{"a.txt", "old"}}, {"a.txt", "b.txt"}, {answer_skip}, {}, {"a.txt"}, {{"a.txt", "old"}, {"b.txt", "new b.txt"}}, {}, 0, {"a.txt", "  inflating: b.txt", "b.txt"}},
      {"replace all", {{"a.txt", "old"}, {"b.txt", "old"}}, {"a.txt", "b.txt", "c.txt"}, {answer_replace_all}, {}, {"a.txt"}, {{"a.txt", "new a.txt"}, {"b.txt", "new b.txt"}, {"c.txt", "new c.txt"}}},
      {"skip all", {{"a.txt", "old"}, {"c.txt", "old"}}, {"a.txt", "b.txt", "c.txt", "d.txt"}, {answer_skip_all}, {}, {"a.txt"}, {{"a.txt", "old"}, {"b.txt", "new b.txt"}, {"c.txt", "old"}, {"d.txt", "new d.txt"}}},
      {"rename into a clash asks again", {{"a.txt", "old a"}, {"b.txt", "old b"}}, {"a.txt"}, {answer_rename, answer_rename}, {"b.txt", "c.txt"}, {"a.txt", "rename", "b.txt", "rename"}, {{"a.txt", "old a"}, {"b.txt", "old b"}, {"c.txt", "new a.txt"}}},
      {"rename in a subfolder", {{"sub/a.txt", "old"}}, {"sub\\a.txt", "sub\\b.txt"}, {answer_rename}, {"renamed.txt"}, {"sub\\a.txt", "rename/sub"}, {{"sub/a.txt", "old"}, {"sub/renamed.txt", "new sub\\a.txt"}, {"sub/b.txt", "new sub\\b.txt"}}},
      {"closed rename keeps the name where it was", {{"sub/a.txt", "old"}}, {"sub\\a.txt"}, {answer_rename, answer_skip}, {nullptr}, {"sub\\a.txt", "rename/sub", "sub\\a.txt"}, {{"sub/a.txt", "old"}}},
      {"answers outside the list ask again", {{"a.txt", "old"}}, {"a.txt"}, {0, 7, answer_replace}, {}, {"a.txt", "a.txt", "a.txt"}, {{"a.txt", "new a.txt"}}},
      {"closed question cancels after the entry", {{"a.txt", "old"}}, {"z.txt", "a.txt", "b.txt"}, {answer_closed}, {}, {"a.txt"}, {{"z.txt", "new z.txt"}, {"a.txt", "old"}}, {}, 1, {"  inflating: z.txt", "z.txt", "a.txt", TEXT_CANCELLED}},
      {"file gone while asked is written as new", {{"a.txt", "old"}}, {"a.txt"}, {answer_replace}, {}, {"a.txt"}, {{"a.txt", "new a.txt"}}, {}, 0, {}, [](const char* path) { fs::remove(path); }},
      {"folder in the entry's place can't be replaced", {{"a/keep.txt", "kept"}}, {"a"}, {answer_replace}, {}, {"a"}, {{"a/keep.txt", "kept"}}, {"a"}},
      {"file in a folder's place fails unasked", {{"f", "x"}}, {"f\\a.txt"}, {}, {}, {}, {{"f", "x"}}, {"f\\a.txt"}},
  };
  for_each_case(cases, [&](const PolicyCase& c) {
    for (const auto& [path, content] : c.existing) test::put(path, content);
    std::vector<FileSpec> files;
    for (const std::string& entry : c.entries) files.push_back({entry, "new " + entry});
    for (int answer : c.answers) scripted::answer_file_exists(answer);
    for (const char* name : c.new_names) name != nullptr ? scripted::answer_new_name(name) : scripted::cancel_new_name();
    scripted::while_file_exists_asked(c.while_asked);
    open(test::build_archive(files, {"", "z.txt"}));

    EXPECT_EQ(extract_all(), c.result);

    Texts asked;
    for (const scripted::Call& call : scripted::calls()) {
      if (call.kind == scripted::CallKind::file_exists) asked.push_back(call.path);
      if (call.kind == scripted::CallKind::new_name) asked.push_back("rename" + call.working_directory.substr(target.size()));
    }
    EXPECT_EQ(asked, c.asked);
    EXPECT_EQ(reported(), c.reported);
    EXPECT_EQ(scripted::unused_answers(), 0u);
    EXPECT_EQ(fs::current_path(), fs::path(target));
    EXPECT_EQ(test::files_under(target), c.after);
    if (!c.shown.empty()) {
      EXPECT_EQ(messages, c.shown);
    }
    // Only the cancelled run has its program, z.txt, to start: it must not.
    EXPECT_EQ(platform::testing::start_count(), 0);
  });
}

// A chunk: its length (plus extra, to forge it) and the stream.
std::string chunk(const std::string& stream, int extra = 0) {
  Bytes length;
  test::put_u16(length, static_cast<std::uint16_t>(stream.size() + extra));
  return std::string(length.begin(), length.end()) + stream;
}

std::string zlib(const std::string& data, int level = 6) {
  const auto stream = writer::compress_piece(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), level);
  return std::string(stream.begin(), stream.end());
}

// Payloads whose checksum holds but whose data doesn't decode: the entry is reported
// once, keeps what inflated before the fault, and the next entry is whole.
TEST_F(Extraction, ADamagedEntryIsReportedOnceAndTheNextIsWhole) {
  const struct {
    const char* name;
    std::string payload;
    std::size_t written;
  } cases[] = {
      {"not a zlib stream", chunk("hello"), 0},
      {"zero-length chunk", chunk(""), 0},
      {"bytes after the stream", chunk(zlib("abc") + "xx"), 0},
      {"chunk one byte longer than the entry", chunk(zlib("abc"), 1), 0},
      {"size not on a chunk boundary", chunk(zlib("abc")) + "\x78", 3},
      {"good chunk then a bad one", chunk(zlib(noise(10000, 3))) + chunk("junk"), 10000},
  };
  for_each_case(cases, [&](const auto& c) {
    Bytes payload(c.payload.begin(), c.payload.end()), directory;
    test::put_record(directory, "bad.txt", static_cast<std::uint32_t>(payload.size()));
    test::put_record(directory, "good.txt", test::put_chunks(payload, "intact"));
    test::put_strings(directory);
    open(test::finish_archive(payload, directory, 2));

    EXPECT_EQ(extract_all(), 0);
    EXPECT_EQ(reported(), Texts{"bad.txt"});
    EXPECT_EQ(fs::file_size("bad.txt"), c.written);
    EXPECT_EQ(read_all("good.txt"), "intact");
  });
}

// The installer's own file changes between the opening check and the run (it is open
// shared for writing): the run still ends, writes only what inflated, and says a
// changed payload is corrupted instead of starting the program.
TEST_F(Extraction, AnArchiveChangedAfterTheCheckWritesOnlyWhatInflated) {
  // Text in several pieces, more incompressible pieces than one chunk length can
  // span, and a small entry after them.
  std::string text = noise(25000, 1);
  for (char& ch : text) ch = static_cast<char>('a' + (ch & 15));
  const std::vector<std::string> names = {"a.txt", "big.bin", "c.txt"}, contents = {text, noise(70000, 2), "the last one"};
  Bytes payload, directory;
  std::vector<std::uint64_t> at;  // each entry's payload in the installer's file
  for (std::size_t i = 0; i < 3; ++i) {
    at.push_back(test::stand_in_stub.size() + payload.size());
    test::put_record(directory, names[i], test::put_chunks(payload, contents[i]));
  }
  at.push_back(test::stand_in_stub.size() + payload.size());
  ASSERT_GT(at[2] - at[1], 65537u);
  test::put_strings(directory, {"", "c.txt"});
  const Bytes archive_bytes = test::finish_archive(payload, directory, 3);
  const long whole = 1L << 30, absent = -1;
  const struct {
    const char* name;
    std::uint64_t at;
    std::string bytes;  // written there; none: the file is cut there
    long written[3];
    std::size_t reports;
    int result;
  } cases[] = {
      {"garbage over every payload byte", at[0], noise(at[3] - at[0], 7), {0, 0, 0}, 3, 2},
      {"cut in the middle of the second entry", at[1] + 25000, "", {whole, 20000, absent}, 0, 2},
      {"cut to nothing", 0, "", {0, absent, absent}, 0, 2},
      {"a chunk claims 65535 bytes", at[1], "\xff\xff", {whole, 0, whole}, 1, 2},
      {"a chunk inflates past the output buffer", at[0], chunk(zlib(std::string(20000, '\0'))), {0, whole, whole}, 1, 2},
      {"bytes after the trailer", test::stand_in_stub.size() + archive_bytes.size(), noise(5000, 3), {whole, whole, whole}, 0, 0},
      {"other bytes that inflate the same", at[2], chunk(zlib(contents[2], 1)), {whole, whole, whole}, 0, 2},
  };
  for_each_case(cases, [&](const auto& c) {
    open(archive_bytes);
    std::fstream(installer, std::ios::in | std::ios::out | std::ios::binary).seekp(static_cast<long>(c.at)) << c.bytes;
    if (c.bytes.empty()) fs::resize_file(installer, c.at);

    EXPECT_EQ(extract_all(), c.result);

    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(fs::exists(names[i]), c.written[i] != absent) << names[i];
      EXPECT_TRUE(read_all(names[i]) == contents[i].substr(0, std::max(c.written[i], 0L))) << names[i];
    }
    EXPECT_EQ(reported().size(), c.reports);
    EXPECT_EQ(messages.back(), c.result == 2 ? TEXT_CORRUPTED : "c.txt");
    EXPECT_EQ(platform::testing::start_count(), c.result == 0 ? 1 : 0);
  });
}

// On a full disk every chunk from the one that doesn't fit on is reported, what was
// written stays, and a file being replaced keeps its old content.
TEST_F(Extraction, AFullDiskReportsEachFailedWriteAndLosesNothing) {
  // A 64 KiB tmpfs as the target, which hides the directory it stands in.
  if (mount("tmpfs", target.c_str(), "tmpfs", 0, "size=64k") != 0) GTEST_SKIP() << "no small tmpfs: " << std::strerror(errno);
  mounted = target;
  fs::current_path(target);
  test::put("data.bin", "the user's data");
  overwrite_policy = OverwritePolicy::replace_all;
  const std::string first = noise(5000, 1), big = noise(300000, 2);
  open(test::build_archive({{"first.bin", first}, {"data.bin", noise(200000, 5)}, {"big.bin", big}, {"later.txt", "x"}}));

  EXPECT_EQ(extract_all(), 0);

  EXPECT_EQ(read_all("first.bin"), first);
  EXPECT_EQ(read_all("data.bin"), "the user's data");
  EXPECT_FALSE(fs::exists("data.bin.kelvra-new"));
  const std::size_t kept = fs::file_size("big.bin");
  ASSERT_LT(kept, big.size());
  EXPECT_TRUE(read_all("big.bin") == big.substr(0, kept));
  std::map<std::string, std::size_t> reports;
  for (const scripted::Call& call : scripted::calls_of(scripted::CallKind::write_failure)) {
    EXPECT_EQ(call.error, static_cast<std::uint32_t>(ENOSPC));
    ++reports[call.path];
  }
  EXPECT_GT(reports["data.bin"], 0u);
  EXPECT_EQ(reports["big.bin"], 30 - kept / 10000);
  EXPECT_EQ(reports["later.txt"], 1u);
}

std::string doomed;
void remove_doomed_after_the_first_entry() {
  if (scripted::shown().size() == 2) fs::remove_all(doomed);
}

// The target removed between two entries: each later file fails with one report and
// every entry still has its turn; the after-run program went with it.
TEST_F(Extraction, ATargetRemovedMidRunFailsEachLaterFileOnce) {
  doomed = target;
  open(test::build_archive({{"a.txt", "first"}, {"b.txt", std::string(25000, 'b')}, {"sub\\c.txt", "nested"}, {"setup.exe", "MZ"}}, {"", "setup"}));
  scripted::after_each_entry(remove_doomed_after_the_first_entry);

  EXPECT_EQ(extract_all(), 0);

  EXPECT_FALSE(fs::exists(target));
  EXPECT_EQ(reported(), (Texts{"b.txt", "sub\\c.txt", "setup.exe"}));
  EXPECT_EQ(messages, (Texts{"  inflating: a.txt", "a.txt", "b.txt", "sub\\c.txt", "setup.exe"}));
  EXPECT_EQ(platform::testing::start_count(), 0);
}

TEST_F(Extraction, MemoryStaysFixedWhateverTheSize) {
  const std::string data = noise(40000, 9) + std::string(260000, 'k');
  open(test::build_archive({{"large.bin", data}}));
  // The inflate state and its window; none more however many chunks follow.
  platform::testing::fail_allocation_after(2);
  EXPECT_EQ(extract_all(), 0);
  EXPECT_TRUE(scripted::calls().empty());
  EXPECT_TRUE(read_all("large.bin") == data);
}

// A chunk of 65,535 bytes, the most its length field allows: a zlib stream of empty
// stored blocks, then one stored block holding data.
void put_longest_chunk(Bytes& payload, const std::string& data) {
  Bytes chunk = {0xFF, 0xFF, 0x78, 0x01};  // the length, then a zlib header
  while (chunk.size() + 5 + data.size() + 4 < 65537) chunk.insert(chunk.end(), {0x00, 0x00, 0x00, 0xFF, 0xFF});
  chunk.push_back(0x01);
  test::put_u16(chunk, static_cast<std::uint16_t>(data.size()));
  test::put_u16(chunk, static_cast<std::uint16_t>(~data.size()));
  test::put_bytes(chunk, data);
  const uLong adler = adler32(1L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
  for (int shift = 24; shift >= 0; shift -= 8) chunk.push_back(static_cast<std::uint8_t>(adler >> shift));
  EXPECT_EQ(chunk.size(), 65537u);
  payload.insert(payload.end(), chunk.begin(), chunk.end());
}

// Where the descriptor stood each time extract_entry returned.
std::vector<std::uint64_t> positions;
void record_position() { positions.push_back(lseek(static_cast<int>(archive.file), 0, SEEK_CUR)); }

// Extraction reads the payload ahead in large blocks: chunks across two reads, the
// longest chunk, entries skipped within and past what was read, all come out whole.
TEST_F(Extraction, EntriesAcrossReadsComeOutWholeAndTheDescriptorFollowsEach) {
  // Sizes and kinds mixed so that chunks and headers fall across the ends of reads at
  // many offsets; a file already there is skipped, within what was read ahead and past it.
  std::vector<test::FileSpec> entries;
  std::uint32_t seed = 5;
  for (int i = 0; i < 40; ++i) {
    seed = seed * 1103515245u + 12345u;
    std::string content = test::noise((seed >> 8) % 47000, seed);
    if (i % 3 == 0) {
      for (char& c : content) c = static_cast<char>('a' + (c & 7));
    }
    entries.push_back({"e" + std::to_string(i) + ".bin", content});
  }
  entries.push_back({"empty.txt", ""});
  entries.push_back({"skipped-big.bin", test::noise(200000, 9)});
  entries.push_back({"longest.bin", test::noise(9999, 4)});
  entries.push_back({"after-longest.txt", "the last one"});
  const auto planted = [](std::size_t i) { return i % 7 == 3 || i == 41; };
  Bytes payload, directory;
  std::vector<std::uint64_t> ends;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t before = payload.size();
    if (entries[i].name == "longest.bin")
      put_longest_chunk(payload, entries[i].content);
    else
      test::put_chunks(payload, entries[i].content);
    test::put_record(directory, entries[i].name, static_cast<std::uint32_t>(payload.size() - before));
    ends.push_back(test::stand_in_stub.size() + payload.size());
    if (planted(i)) std::ofstream(entries[i].name) << "old";
  }
  test::put_strings(directory);
  open(test::finish_archive(payload, directory, static_cast<std::uint32_t>(entries.size())));

  overwrite_policy = OverwritePolicy::skip_all;
  scripted::after_each_entry(record_position);
  // A second run over the same archive, nothing in its way, starts afresh from the
  // payload's first byte.
  for (int run = 0; run < 2; ++run) {
    positions.clear();
    EXPECT_EQ(extract_all(), 0);
    EXPECT_EQ(positions, ends);
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const std::string expected = run == 0 && planted(i) ? "old" : entries[i].content;
      EXPECT_TRUE(test::read_all(entries[i].name) == expected) << entries[i].name;
      std::filesystem::remove(entries[i].name);
    }
  }
}

}  // namespace
}  // namespace kelvra
