// The archive reader: the golden archive behind any stub; every changed bit, every cut
// and every forged field refused, each for its own reason; bounds that hold accepted.
#include <gtest/gtest.h>

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
Bytes stub_of(std::size_t size) { return Bytes(size, 0xA5); }

// A directory of these records (name, stored size), the strings empty, then after.
Bytes directory_of(const std::vector<std::pair<std::string, std::uint32_t>>& records, const std::string& after = "") {
  Bytes directory;
  for (const auto& [name, size] : records) test::put_record(directory, name, size);
  test::put_strings(directory);
  test::put_bytes(directory, after);
  return directory;
}

class Reader : public ::testing::Test {
 protected:
  void TearDown() override {
    platform::testing::fail_allocation_after(-1);
    close_archive();
  }

  int open_bytes(const Bytes& stub, const Bytes& bytes) {
    message_area_open();
    if (!test::write_file(path, stub, bytes)) return -1;
    return open_archive(path.c_str());
  }

  // Refused as corrupt: result 1, the report in the message area, no banner.
  ::testing::AssertionResult refused(const Bytes& stub, const Bytes& bytes) {
    const int result = open_bytes(stub, bytes);
    char text[message_area_size];
    read_message(text, sizeof text);
    const bool banner = archive.banner != nullptr && archive.banner[0] != '\0';
    if (result == 1 && std::string(text) == TEXT_CORRUPTED && !banner) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "result " << result << ", message \"" << text << "\", banner " << banner;
  }

  test::TempDir dir;
  const std::string path = dir.file("setup.exe");
  const Bytes golden = test::build_archive({{"a.txt", "abc"}});
};

TEST_F(Reader, GoldenArchiveOpensBehindALargeStub) {
  // The forged archives below come from the builder: it must agree with the golden bytes.
  EXPECT_EQ(test::read_all(KELVRA_TEST_DATA "/one-entry.bin"), std::string(golden.begin(), golden.end()));
  // An empty stub: Writer.SameBytesWhateverTheStubSizePoolSizeOrRun.
  std::strcpy(current_path, "left over");
  ASSERT_EQ(open_bytes(stub_of(70001), golden), 0);
  EXPECT_STREQ(archive.banner, TEXT_BANNER);
  EXPECT_STREQ(current_path, "");
  EXPECT_EQ(payload_start(), 70001u);
  EXPECT_EQ(archive.payload_size, 13u);
  EXPECT_STREQ(archive.entries[0].name, "a.txt");
}

TEST_F(Reader, AnyChangedArchiveBitOrCutIsCaught) {
  for (std::size_t at = 0; at < golden.size() * 8; ++at) {
    Bytes changed = golden;
    changed[at / 8] ^= static_cast<std::uint8_t>(1 << at % 8);
    ASSERT_TRUE(refused(stub_of(64), changed)) << "byte " << at / 8 << " bit " << at % 8;
  }
  Bytes whole = stub_of(100);
  whole.insert(whole.end(), golden.begin(), golden.end());
  for (std::size_t length = 0; length < whole.size(); ++length) {
    ASSERT_TRUE(refused({}, Bytes(whole.begin(), whole.begin() + static_cast<long>(length)))) << "cut at " << length;
  }
}

// Every archive here but the last carries a matching CRC-32, so only its forged part can
// refuse it: one row per bound the reader checks.
TEST_F(Reader, EachRefusalKeepsItsReason) {
  struct Forged {
    const char* name;
    Bytes archive;
    Refusal reason;
    std::int64_t about = -1;  // the refused entry, or the number the reason names
  };
  std::vector<std::pair<std::string, std::uint32_t>> many;
  for (int i = 0; i < 1001; ++i) many.emplace_back("f" + std::to_string(i), 0);
  Bytes payload, long_digest, long_name = {200};
  const std::uint32_t abc = test::put_chunks(payload, "abc");
  test::put_bytes(long_name, "a.txt");
  test::put_strings(long_digest, {"", "", "", "", "", std::string(24, 'd')});
  Bytes changed = golden;
  changed[5] ^= 0x20;
  const std::int64_t crc = crc32(0L, changed.data(), static_cast<uInt>(changed.size() - 4));
  const auto forged = [](const Bytes& directory, std::uint32_t count, std::int64_t size = -1) {
    return test::finish_archive({}, directory, count, size);
  };
  const Forged cases[] = {
      {"1001 entries", forged(directory_of(many), 1001), Refusal::too_many_entries},
      {"count above the records", forged(directory_of({{"a.txt", 0}}), 2), Refusal::record_past_end, 1},
      {"name length past the directory", forged(long_name, 1), Refusal::record_past_end, 0},
      {"24-byte digest", forged(long_digest, 0), Refusal::digest_too_long, 24},
      {"bytes after the strings", forged(directory_of({}, "xyz"), 0), Refusal::directory_left_over, 3},
      {"directory size past the file", forged(directory_of({}), 0, 1000), Refusal::directory_too_large},
      {"directory size 0xFFFFFFFF", forged(directory_of({}), 0, 0xFFFFFFFFu), Refusal::directory_too_large},
      {"directory size too small", forged(directory_of({}), 0, 3), Refusal::strings_past_end},
      {"stored size past the file", test::finish_archive(payload, directory_of({{"a.txt", abc + 1}}), 1),
       Refusal::payload_too_large},
      // Cut to 32 bits the sum would be 0, which fits this payload-free file exactly.
      {"payload size past 32 bits", forged(directory_of({{"a", 0xFFFFFFF0u}, {"b", 0x10}}), 2), Refusal::payload_too_large},
      // The name check's rows are the names tests'; here, that each record's name reaches it.
      {"control byte in a name", forged(directory_of({{"a\nb.txt", 0}}), 1), Refusal::unsafe_name, 0},
      {"third name a device", forged(directory_of({{"a", 0}, {"b", 0}, {"CON.txt", 0}}), 3), Refusal::unsafe_name, 2},
      {"shorter than a trailer", Bytes(11, 'x'), Refusal::shorter_than_trailer},
      {"a payload byte changed", changed, Refusal::checksum_mismatch, crc},
  };
  for (const Forged& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(refused({}, c.archive));
    EXPECT_EQ(archive.refusal, c.reason);
    const bool about_entry = c.reason == Refusal::record_past_end || c.reason == Refusal::unsafe_name;
    if (c.about >= 0) {
      EXPECT_EQ(about_entry ? archive.refused_entry : archive.refusal_value, c.about);
    }
    if (c.reason == Refusal::shorter_than_trailer) {
      EXPECT_EQ(archive.archive_end, 11u);  // where it looked for the trailer: the file's size
    }
    if (c.reason != Refusal::checksum_mismatch) {
      ASSERT_EQ(open_archive_unverified(path.c_str()), 1);
      EXPECT_EQ(archive.refusal, c.reason) << "unverified";
    }
  }
  EXPECT_EQ(open_archive(dir.file("missing.exe").c_str()), 1);
  EXPECT_EQ(archive.refusal, Refusal::not_opened);
}

TEST_F(Reader, BoundsThatHoldAreAccepted) {
  // Seven full strings but the digest, which may have 23 bytes. Strings keep their
  // control bytes: the installer only shows them in its own window and hands them to
  // the system, where an escape sequence does nothing. The digest may hold any byte.
  std::vector<std::string> strings;
  for (char c : {'r', 'p', '1', '2', 'm'}) strings.push_back(std::string(253, c) + "\x1b\n");
  strings.push_back(std::string("\x01\x1b\n\x1f\x7f\xff", 6) + std::string(17, 'd'));
  strings.push_back(std::string(254, 'D') + "\x07");
  ASSERT_EQ(open_bytes(stub_of(10), test::build_archive({}, strings)), 0);
  EXPECT_EQ(archive.entry_count, 0u);
  EXPECT_EQ(payload_start(), 10u);
  const std::vector<std::string> read = {archive.reserved_string, archive.run_program, archive.run_arg1,
                                         archive.run_arg2, archive.prompt, archive.password_digest, archive.default_dir};
  EXPECT_EQ(read, strings);

  // A zero byte ends a name or a string, and the buffer stays zero past it: what follows
  // (never checked as a name) is no part of it.
  Bytes payload, directory;
  test::put_record(directory, std::string("ab\0..\\x", 7), test::put_chunks(payload, "xyz"));
  test::put_strings(directory, {std::string("ok\0\x1b", 4)});
  ASSERT_EQ(open_bytes(stub_of(3), test::finish_archive(payload, directory, 1)), 0);
  const std::string name(archive.entries[0].name, sizeof archive.entries[0].name);
  EXPECT_EQ(name, "ab" + std::string(name.size() - 2, '\0'));
  EXPECT_EQ(std::string(archive.reserved_string, 4), std::string("ok\0\0", 4));
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
  ASSERT_TRUE(test::write_file(path, {}, golden));
  // Fail the first allocation, then the second, ... until the opening needs no more.
  int n = 0;
  for (;; ++n) {
    ASSERT_LT(n, 100);
    message_area_open();
    platform::testing::fail_allocation_after(n);
    const int result = open_archive(path.c_str());
    platform::testing::fail_allocation_after(-1);
    if (result == 0) break;
    char text[message_area_size];
    read_message(text, sizeof text);
    EXPECT_STREQ(text, TEXT_OUT_OF_MEMORY) << n;
    EXPECT_EQ(archive.refusal, Refusal::out_of_memory) << n;
    close_archive();
  }
  EXPECT_GT(n, 5);  // entries, strings, banner and both chunk buffers are allocated
  EXPECT_STREQ(archive.entries[0].name, "a.txt");
}

}  // namespace
}  // namespace kelvra
