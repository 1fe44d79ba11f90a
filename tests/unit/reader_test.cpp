// The archive reader: the golden archive behind any stub, every changed bit and every
// cut refused, forged archives refused for their forged part, and bounds that hold.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive_builder.h"
#include "output/message_area.h"
#include "output/output.h"
#include "platform/posix_testing.h"
#include "resources/strings.h"

namespace kelvra {
namespace {

using test::Bytes;

// A stand-in stub: bytes that look nothing like an archive's end.
Bytes stub_of(std::size_t size) {
  Bytes stub(size);
  for (std::size_t i = 0; i < size; ++i) stub[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return stub;
}

// The opened archive's strings, in the directory's order.
std::string string_read(std::size_t index) {
  return std::vector<const char*>{archive.reserved_string, archive.run_program, archive.run_arg1, archive.run_arg2,
                                  archive.prompt, archive.password_digest, archive.default_dir}[index];
}

class Reader : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path().empty());
    message_area_open();
    const std::string bytes = test::read_all(KELVRA_TEST_DATA "/one-entry.bin");
    golden.assign(bytes.begin(), bytes.end());
    ASSERT_EQ(golden.size(), 59u);
  }
  void TearDown() override {
    platform::testing::fail_allocation_after(-1);
    close_archive();
  }

  int open_bytes(const Bytes& stub, const Bytes& bytes) {
    message_area_open();
    if (!test::write_file(path(), stub, bytes)) return -1;
    return open_archive(path().c_str());
  }
  std::string path() const { return dir.file("setup.exe"); }

  static std::string message() {
    char text[message_area_size];
    read_message(text, sizeof text);
    return text;
  }

  // Refused as corrupt: result 1, the report in the message area, no banner.
  ::testing::AssertionResult refused(const Bytes& stub, const Bytes& bytes) {
    const int result = open_bytes(stub, bytes);
    if (result != 1) return ::testing::AssertionFailure() << "open_archive returned " << result;
    if (message() != TEXT_CORRUPTED) return ::testing::AssertionFailure() << "message: " << message();
    if (archive.banner != nullptr && archive.banner[0] != '\0') {
      return ::testing::AssertionFailure() << "banner: " << archive.banner;
    }
    return ::testing::AssertionSuccess();
  }

  test::TempDir dir;
  Bytes golden;  // one entry, a.txt holding "abc", no strings
};

TEST_F(Reader, GoldenArchiveOpensBehindStubsOfAnySize) {
  // The forged archives below come from the builder: it must agree with the golden bytes.
  EXPECT_EQ(test::build_archive({{"a.txt", "abc"}}), golden);
  for (std::size_t stub_size : {0u, 70001u}) {
    SCOPED_TRACE(stub_size);
    std::strcpy(current_path, "left over");
    ASSERT_EQ(open_bytes(stub_of(stub_size), golden), 0);
    EXPECT_EQ(message(), "");
    EXPECT_STREQ(archive.banner, TEXT_BANNER);
    EXPECT_STREQ(current_path, "");
    EXPECT_EQ(payload_start(), stub_size);
    EXPECT_EQ(archive.payload_size, 13u);
    const DirectoryEntry& entry = archive.entries[0];
    EXPECT_STREQ(entry.name, "a.txt");
    EXPECT_EQ(entry.stored_size, 13u);
    EXPECT_EQ(entry.attributes, 0x20);
    EXPECT_EQ(entry.last_write_time, test::y2k_filetime);
    EXPECT_EQ(entry.creation_time, test::y2k_filetime);
    // Extraction starts where the opening left the descriptor: on the first chunk.
    std::uint8_t first[2] = {0, 0};
    ASSERT_EQ(platform::read_file(archive.file, first, 2), 2);
    EXPECT_EQ(first[0], 0x0B);
    EXPECT_EQ(first[1], 0x00);
  }
}

TEST_F(Reader, AnyChangedArchiveByteIsCaughtButStubBytesDoNotMatter) {
  const Bytes stub = stub_of(64);
  for (std::size_t at = 0; at < golden.size(); ++at) {
    for (int bit = 0; bit < 8; ++bit) {
      Bytes changed = golden;
      changed[at] ^= static_cast<std::uint8_t>(1 << bit);
      ASSERT_TRUE(refused(stub, changed)) << "byte " << at << " bit " << bit;
    }
  }
  for (std::size_t at = 0; at < stub.size(); at += 9) {
    Bytes changed_stub = stub;
    changed_stub[at] ^= 0xFF;
    ASSERT_EQ(open_bytes(changed_stub, golden), 0) << "stub byte " << at;
  }
}

TEST_F(Reader, EveryCutIsRefused) {
  Bytes whole = stub_of(100);
  whole.insert(whole.end(), golden.begin(), golden.end());
  for (std::size_t length = 0; length < whole.size(); ++length) {
    ASSERT_TRUE(refused({}, Bytes(whole.begin(), whole.begin() + static_cast<long>(length)))) << length;
  }
  EXPECT_EQ(open_archive(dir.file("missing.exe").c_str()), 1);
  EXPECT_EQ(message(), TEXT_CORRUPTED);
}

struct Forged {
  std::string name;
  Bytes archive;
  Refusal reason;           // what the reader keeps when it refuses it
  std::uint32_t about = 0;  // the refused entry, or the number the reason names
};

Bytes one_record(const std::string& name) {
  Bytes payload, directory;
  test::put_record(directory, name, test::put_chunks(payload, "abc"));
  test::put_strings(directory);
  return test::finish_archive(payload, directory, 1);
}

// Every archive here carries a matching CRC-32, so only its forged part can refuse it.
// One row per bound the reader checks.
std::vector<Forged> forged_archives() {
  std::vector<Forged> cases;
  Bytes payload, directory;

  for (int i = 0; i < 1001; ++i) test::put_record(directory, "f" + std::to_string(i), 0);
  test::put_strings(directory);
  cases.push_back({"1001 entries", test::finish_archive({}, directory, 1001), Refusal::too_many_entries});

  directory.clear();
  test::put_record(directory, "a.txt", 0);
  test::put_strings(directory);
  // Fewer counted than there are is caught as bytes left after the strings.
  cases.push_back({"count above the records", test::finish_archive({}, directory, 2), Refusal::record_past_end, 1});

  directory.clear();
  test::put_u8(directory, 200);
  test::put_bytes(directory, "a.txt");
  cases.push_back(
      {"name length past the directory", test::finish_archive({}, directory, 1), Refusal::record_past_end, 0});

  directory.clear();
  test::put_strings(directory, {"", "", "", "", "", std::string(24, 'd')});
  cases.push_back({"24-byte digest", test::finish_archive({}, directory, 0), Refusal::digest_too_long, 24});

  directory.clear();
  test::put_strings(directory);
  test::put_bytes(directory, "xyz");
  cases.push_back(
      {"bytes left after the strings", test::finish_archive({}, directory, 0), Refusal::directory_left_over, 3});

  directory.clear();
  test::put_strings(directory);
  cases.push_back({"directory size past the file", test::finish_archive({}, directory, 0, 1000),
                   Refusal::directory_too_large});
  cases.push_back({"directory size 0xFFFFFFFF", test::finish_archive({}, directory, 0, 0xFFFFFFFFu),
                   Refusal::directory_too_large});
  cases.push_back({"directory size too small", test::finish_archive({}, directory, 0, 3), Refusal::strings_past_end});

  payload.clear();
  directory.clear();
  test::put_record(directory, "a.txt", test::put_chunks(payload, "abc") + 1);
  test::put_strings(directory);
  cases.push_back(
      {"stored size past the file", test::finish_archive(payload, directory, 1), Refusal::payload_too_large});

  directory.clear();
  test::put_record(directory, "a.txt", 0xFFFFFFF0u);
  test::put_record(directory, "b.txt", 0x10);
  test::put_strings(directory);
  // Cut to 32 bits the sum would be 0, which fits this payload-free file exactly.
  cases.push_back({"payload size past 32 bits", test::finish_archive({}, directory, 2), Refusal::payload_too_large});

  // The names tests hold the name check's rows; here, that a record's name reaches it,
  // control bytes included.
  for (const char* name : {"a/../../evil.txt", "a\nb.txt"}) {
    cases.push_back({name, one_record(name), Refusal::unsafe_name, 0});
  }

  return cases;
}

// What the reader keeps when it refuses: the reason, and the entry or the number it is
// about, for each bound it checks; the opening that leaves the CRC-32 to its caller
// keeps the same ones.
TEST_F(Reader, EachRefusalKeepsItsReason) {
  std::vector<Forged> cases = forged_archives();
  Bytes payload, directory;
  for (const char* name : {"ok.txt", "b", "CON.txt"}) test::put_record(directory, name, 0);
  test::put_strings(directory);
  cases.push_back({"third name a device", test::finish_archive({}, directory, 3), Refusal::unsafe_name, 2});
  cases.push_back({"shorter than a trailer", Bytes(11, 'x'), Refusal::shorter_than_trailer});
  Bytes changed = golden;
  changed[5] ^= 0x20;
  const auto crc = static_cast<std::uint32_t>(crc32(0L, changed.data(), static_cast<uInt>(changed.size() - 4)));
  cases.push_back({"a payload byte changed", changed, Refusal::checksum_mismatch, crc});

  const auto about = [] {
    return archive.refusal == Refusal::record_past_end || archive.refusal == Refusal::unsafe_name
               ? archive.refused_entry
               : archive.refusal_value;
  };
  const bool numbered[] = {false, false, false, false, false, false, false, false, false,
                           true, true, false, true, true, false, false, true};
  static_assert(sizeof numbered == static_cast<std::size_t>(Refusal::checksum_mismatch) + 1);
  for (const Forged& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(refused({}, c.archive));
    EXPECT_EQ(archive.refusal, c.reason);
    if (numbered[static_cast<int>(c.reason)]) {
      EXPECT_EQ(about(), c.about);
    }
    // Where it looked for the trailer: the words give the file's size from it.
    if (c.reason == Refusal::shorter_than_trailer) {
      EXPECT_EQ(archive.archive_end, 11u);
    }
    if (c.reason == Refusal::checksum_mismatch) continue;
    ASSERT_EQ(open_archive_unverified(path().c_str()), 1);
    EXPECT_EQ(archive.refusal, c.reason) << "unverified";
  }
  // Behind a stub alike, but where the stub holds the payload a stored size claims: only
  // the CRC-32 can tell that.
  for (const Forged& c : forged_archives()) {
    ASSERT_TRUE(refused(stub_of(300), c.archive)) << c.name;
    if (c.reason != Refusal::payload_too_large) {
      EXPECT_EQ(archive.refusal, c.reason) << c.name;
    }
  }

  EXPECT_EQ(open_archive(dir.file("missing.exe").c_str()), 1);
  EXPECT_EQ(archive.refusal, Refusal::not_opened);
  ASSERT_TRUE(test::write_file(path(), {}, golden));
  platform::testing::fail_allocation_after(0);
  EXPECT_EQ(open_archive(path().c_str()), 1);
  platform::testing::fail_allocation_after(-1);
  EXPECT_EQ(archive.refusal, Refusal::out_of_memory);
}

TEST_F(Reader, StringsKeepTheirControlBytes) {
  // The installer shows its strings only in its own window and hands them to the
  // system: an escape sequence does nothing there. Only names refuse them.
  const struct {
    const char* name;
    std::size_t index;
    std::string text;
    std::string read;
  } cases[] = {
      {"line break in the program", format::string_run_program, "setup.exe\n", "setup.exe\n"},
      {"escape in the first argument", format::string_run_arg1, "/q\x1b[2J", "/q\x1b[2J"},
      {"bell in the second argument", format::string_run_arg2, "\x07", "\x07"},
      {"screen clear in the prompt", format::string_prompt, "Install\x1b[2J here", "Install\x1b[2J here"},
      {"line break in the directory", format::string_default_dir, "C:\\x\ny", "C:\\x\ny"},
      {"control byte in the reserved string", format::string_reserved, "\x01", "\x01"},
      {"control byte after a zero byte", format::string_run_program, std::string("a\0\x01", 3), "a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> texts(format::string_count);
    texts[c.index] = c.text;
    ASSERT_EQ(open_bytes(stub_of(10), test::build_archive({{"a.txt", "x"}}, texts)), 0);
    EXPECT_EQ(string_read(c.index), c.read);
  }
}

// The opening that leaves the CRC-32 to its caller (kelvra-pack test on several
// threads) holds the payload bound too (every other bound: EachRefusalKeepsItsReason):
// a payload claimed a few bytes beyond the file would otherwise be read from the
// stub's first byte, and a CRC-32 made to match what is read there would pass.
TEST_F(Reader, TheUnverifiedOpeningHoldsThePayloadBound) {
  for (std::uint32_t beyond : {1u, 4u, 300u, 301u}) {
    Bytes payload, directory;
    const std::uint32_t size = test::put_chunks(payload, "abc");
    test::put_record(directory, "a.txt", size + beyond);
    test::put_strings(directory);
    ASSERT_TRUE(test::write_file(path(), stub_of(300), test::finish_archive(payload, directory, 1)));
    EXPECT_EQ(open_archive(path().c_str()), 1) << beyond;
    // 300 bytes of stub in front: up to 300 the payload still fits the file, and only
    // the checksum, which this opening leaves to its caller, can tell.
    EXPECT_EQ(open_archive_unverified(path().c_str()), beyond <= 300 ? 0 : 1) << beyond;
  }
  ASSERT_TRUE(test::write_file(path(), {}, golden));
  EXPECT_EQ(open_archive_unverified(path().c_str()), 0);
  EXPECT_EQ(payload_start(), 0u);
}

TEST_F(Reader, BoundsThatHoldAreAccepted) {
  // Seven full strings but the digest, which may have 23 bytes.
  std::vector<std::string> strings;
  for (char c : {'r', 'p', '1', '2', 'm'}) strings.emplace_back(255, c);
  strings.emplace_back(23, 'd');
  strings.emplace_back(255, 'D');
  ASSERT_EQ(open_bytes(stub_of(10), test::build_archive({}, strings)), 0);
  EXPECT_EQ(archive.entry_count, 0u);
  EXPECT_EQ(archive.payload_size, 0u);
  EXPECT_EQ(payload_start(), 10u);
  for (std::size_t i = 0; i < strings.size(); ++i) EXPECT_EQ(string_read(i), strings[i]) << i;

  // Zero bytes inside a name or a string end it there, and the buffer stays zero past
  // it; an empty entry adds nothing; the prompt may hold tabs and line breaks, the digest
  // any byte, and a control byte after a zero byte is not part of the string.
  Bytes payload, directory;
  test::put_record(directory, std::string("ab\0cd", 5), test::put_chunks(payload, "xyz"));
  test::put_record(directory, "empty.txt", test::put_chunks(payload, ""));
  const std::string prompt = "Install into:\r\n\tthe folder below";
  const std::string digest("\x01\x1b\n\x1f\x7f\xff\x02\x03\x04", 9);
  test::put_strings(directory, {std::string("ok\0\x1b", 4), std::string("setup\0.exe", 10), "", "", prompt, digest});
  ASSERT_EQ(open_bytes(stub_of(3), test::finish_archive(payload, directory, 2)), 0);
  EXPECT_EQ(archive.payload_size, payload.size());
  EXPECT_EQ(archive.entries[0].name_length, 5);
  EXPECT_EQ(std::string(archive.entries[0].name, sizeof archive.entries[0].name),
            "ab" + std::string(sizeof archive.entries[0].name - 2, '\0'));
  EXPECT_EQ(archive.entries[1].stored_size, 0u);
  EXPECT_STREQ(archive.run_program, "setup");
  EXPECT_STREQ(archive.reserved_string, "ok");
  EXPECT_EQ(archive.prompt, prompt);
  EXPECT_EQ(archive.password_digest, digest);
}

TEST_F(Reader, LargestDirectoryAndLongPayloadAreRead) {
  // A thousand 255-byte names make a directory several times the read buffer, and the
  // payload spans many checksum pieces.
  Bytes payload, directory;
  for (int i = 0; i < 1000; ++i) {
    const std::string name = std::to_string(i) + std::string(255 - std::to_string(i).size(), 'a' + i % 26);
    test::put_record(directory, name, test::put_chunks(payload, std::string(i % 50 == 0 ? 25000 : 10, 'x')));
  }
  test::put_strings(directory);
  ASSERT_GT(directory.size(), 4u * 65535u);
  Bytes bytes = test::finish_archive(payload, directory, 1000);
  ASSERT_EQ(open_bytes(stub_of(5000), bytes), 0);
  EXPECT_EQ(archive.payload_size, payload.size());
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(std::atoi(archive.entries[i].name), i);
  EXPECT_EQ(archive.entries[999].name[254], 'a' + 999 % 26);

  bytes[payload.size() / 2] ^= 0x40;
  EXPECT_TRUE(refused(stub_of(5000), bytes));
}

TEST_F(Reader, RunningOutOfMemorySaysSo) {
  ASSERT_TRUE(test::write_file(path(), {}, golden));
  // Fail the first allocation, then the second, ... until the opening needs no more.
  int n = 0;
  for (;; ++n) {
    ASSERT_LT(n, 100);
    message_area_open();
    platform::testing::fail_allocation_after(n);
    const int result = open_archive(path().c_str());
    platform::testing::fail_allocation_after(-1);
    if (result == 0) break;
    EXPECT_EQ(message(), TEXT_OUT_OF_MEMORY) << n;
    if (archive.banner != nullptr) {
      EXPECT_STREQ(archive.banner, "") << n;
    }
    close_archive();
  }
  EXPECT_GT(n, 5);  // entries, strings, banner and both chunk buffers are allocated
  EXPECT_STREQ(archive.entries[0].name, "a.txt");
}

}  // namespace
}  // namespace kelvra
