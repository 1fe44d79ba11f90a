// Signed installers: the archive is found before the certificate table that code
// signing appends, whatever zero padding the signer put in front of it, and a security
// directory that isn't a whole table at the file's end leaves the reader as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/format.h"
#include "archive_builder.h"
#include "output/message_area.h"
#include "resources/strings.h"

namespace kelvra {
namespace {

using test::Bytes;

constexpr std::size_t pe_offset = 0x80;
constexpr std::size_t optional_at = pe_offset + 24;
constexpr std::uint16_t pe32 = 0x10b;
constexpr std::uint16_t pe32_plus = 0x20b;

std::size_t security_entry_at(std::uint16_t magic) {
  return optional_at + (magic == pe32_plus ? 112 : 96) + 4 * 8;
}

// A stand-in stub shaped like a PE image as far as the reader looks: DOS header,
// signature, file header, optional header with 16 data directories, all empty.
Bytes pe_stub(std::uint16_t magic, std::size_t size = 1000) {
  Bytes stub(size, 0xCC);
  std::fill(stub.begin(), stub.begin() + 0x200, 0);
  stub[0] = 'M';
  stub[1] = 'Z';
  format::write_u32(&stub[0x3C], pe_offset);
  std::copy_n("PE\0\0", 4, &stub[pe_offset]);
  const std::size_t directories = magic == pe32_plus ? 112 : 96;
  format::write_u16(&stub[pe_offset + 20], static_cast<std::uint16_t>(directories + 16 * 8));
  format::write_u16(&stub[optional_at], magic);
  format::write_u32(&stub[optional_at + directories - 4], 16);
  return stub;
}

void set_security(Bytes& file, std::uint16_t magic, std::uint32_t offset, std::uint32_t size) {
  format::write_u32(&file[security_entry_at(magic)], offset);
  format::write_u32(&file[security_entry_at(magic) + 4], size);
}

// One WIN_CERTIFICATE record, padded to 8 bytes as in a table.
Bytes certificate(std::uint32_t body_size, std::uint16_t revision = 0x0200, std::uint16_t type = 2) {
  Bytes record;
  test::put_u32(record, 8 + body_size);
  test::put_u16(record, revision);
  test::put_u16(record, type);
  for (std::uint32_t i = 0; i < body_size; ++i) record.push_back(static_cast<std::uint8_t>(0x30 + i));
  while (record.size() % 8 != 0) record.push_back(0);
  return record;
}

// What a signer does to an installer: zero bytes up to an 8-aligned offset, the table
// there, and the image's security directory pointed at it.
Bytes signed_file(std::uint16_t magic, const Bytes& archive, const Bytes& table = certificate(1200)) {
  Bytes file = pe_stub(magic);
  file.insert(file.end(), archive.begin(), archive.end());
  while (file.size() % 8 != 0) file.push_back(0);
  set_security(file, magic, static_cast<std::uint32_t>(file.size()), static_cast<std::uint32_t>(table.size()));
  file.insert(file.end(), table.begin(), table.end());
  return file;
}

class Signing : public ::testing::Test {
 protected:
  void TearDown() override { close_archive(); }

  int open(const Bytes& file) {
    message_area_open();
    if (!test::write_file(dir.file("setup.exe"), {}, file)) return -1;
    return open_archive(dir.file("setup.exe").c_str());
  }
  bool refused(const Bytes& file) {
    if (open(file) != 1) return false;
    char text[message_area_size];
    read_message(text, sizeof text);
    return std::string(text) == TEXT_CORRUPTED;
  }

  test::TempDir dir;
};

TEST_F(Signing, ArchiveIsFoundBeforeTheTableWhateverThePadding) {
  // Prompts of 0 to 7 bytes give every padding a signer can add; the last archive's
  // checksum ends in a zero byte, which sits next to the padding like one of its own.
  std::vector<Bytes> archives;
  for (int length = 0; length < 8; ++length) {
    archives.push_back(test::build_archive({{"a.txt", "abc"}}, {"", "", "", "", std::string(length, 'p')}));
  }
  for (int n = 0;; ++n) {
    ASSERT_LT(n, 100000);
    archives.push_back(test::build_archive({{"a.txt", "abc"}}, {std::to_string(n)}));
    if (archives.back().back() == 0) break;
    archives.pop_back();
  }
  for (std::uint16_t magic : {pe32, pe32_plus}) {
    for (const Bytes& archive_bytes : archives) {
      SCOPED_TRACE(testing::Message() << "magic " << magic << ", archive of " << archive_bytes.size());
      ASSERT_EQ(open(signed_file(magic, archive_bytes)), 0);
      EXPECT_EQ(archive.archive_end, pe_stub(magic).size() + archive_bytes.size());
      EXPECT_EQ(payload_start(), pe_stub(magic).size());
      EXPECT_STREQ(archive.entries[0].name, "a.txt");
      std::uint8_t first[2] = {};
      ASSERT_EQ(platform::read_file(archive.file, first, 2), 2);
      EXPECT_EQ(format::read_u16(first), archive_bytes[0] | archive_bytes[1] << 8);
    }
  }
  // A table of two records (a second signature) is as good as one.
  Bytes two = certificate(900);
  const Bytes second = certificate(333, 0x0100);
  two.insert(two.end(), second.begin(), second.end());
  EXPECT_EQ(open(signed_file(pe32, archives[3], two)), 0);
}

TEST_F(Signing, ChangedArchiveOfASignedFileIsRefused) {
  const Bytes archive_bytes = test::build_archive({{"a.txt", "abc"}, {"b.txt", ""}}, {"", "run.exe"});
  const Bytes file = signed_file(pe32, archive_bytes);
  const std::size_t start = pe_stub(pe32).size();
  for (std::size_t at = start; at < start + archive_bytes.size(); ++at) {
    Bytes changed = file;
    changed[at] ^= 0x10;
    ASSERT_TRUE(refused(changed)) << "archive byte " << at - start;
  }
  // The signature's own bytes are Windows' to judge, not ours.
  Bytes changed = file;
  changed[changed.size() - 100] ^= 0x10;
  EXPECT_EQ(open(changed), 0);
}

// The reader tries the ends a signer's padding allows, and the file's own; a refusal
// is about the end whose directory it could read, whichever it tried last.
TEST_F(Signing, ARefusalIsAboutTheArchivesOwnEnd) {
  for (int length = 0; length < 8; ++length) {
    SCOPED_TRACE(length);
    Bytes archive_bytes = test::build_archive({{"a.txt", "abc"}}, {"", "", "", "", std::string(length, 'p')});
    archive_bytes[3] ^= 0x01;  // inside the first chunk: only the checksum can tell
    ASSERT_TRUE(refused(signed_file(pe32, archive_bytes)));
    EXPECT_EQ(archive.refusal, Refusal::checksum_mismatch);
    EXPECT_EQ(archive.archive_end, pe_stub(pe32).size() + archive_bytes.size());
  }
}

// Each case leaves a real table at the file's end but spoils one thing the reader
// requires of it, so the trailer is looked for at the file's end and not found.
TEST_F(Signing, TableTheReaderDoesNotTrustLeavesTheFileUnreadable) {
  const Bytes archive_bytes = test::build_archive({{"a.txt", "abc"}}, {"", "", "", "", "pp"});
  const std::size_t table_at = (pe_stub(pe32).size() + archive_bytes.size() + 7) / 8 * 8;
  ASSERT_EQ(open(signed_file(pe32, archive_bytes)), 0);
  const std::size_t entry = security_entry_at(pe32);
  const std::vector<std::pair<const char*, std::function<void(Bytes&)>>> cases = {
      {"byte after the table", [](Bytes& f) { f.push_back(0); }},
      {"table one short of the end", [&](Bytes& f) { format::write_u32(&f[entry + 4], static_cast<std::uint32_t>(f.size() - table_at - 1)); }},
      {"offset not 8-aligned", [&](Bytes& f) {
         f.insert(f.begin() + static_cast<long>(table_at), 0);
         format::write_u32(&f[entry], static_cast<std::uint32_t>(table_at + 1));
       }},
      {"certificate type 1", [&](Bytes& f) { f[table_at + 6] = 1; }},
      {"revision 3.0", [&](Bytes& f) { f[table_at + 5] = 3; }},
      {"record longer than the table", [&](Bytes& f) { format::write_u32(&f[table_at], 0x10000); }},
      {"record shorter than its header", [&](Bytes& f) { format::write_u32(&f[table_at], 4); }},
      {"record leaves bytes unclaimed", [&](Bytes& f) { format::write_u32(&f[table_at], 16); }},
      {"no MZ", [](Bytes& f) { f[0] = 'X'; }},
      {"no PE signature", [](Bytes& f) { f[pe_offset + 3] = 1; }},
      {"e_lfanew past the file", [](Bytes& f) { format::write_u32(&f[0x3C], 0xFFFFFFF0u); }},
      {"ROM image magic", [](Bytes& f) { format::write_u16(&f[optional_at], 0x107); }},
      {"four data directories", [](Bytes& f) { format::write_u32(&f[optional_at + 92], 4); }},
      {"optional header too small", [](Bytes& f) { format::write_u16(&f[pe_offset + 20], 96 + 4 * 8); }},
  };
  for (const auto& [name, spoil] : cases) {
    Bytes file = signed_file(pe32, archive_bytes);
    spoil(file);
    EXPECT_TRUE(refused(file)) << name;
  }
}

// An unsigned installer opens from the file's end whatever its stub's security
// directory holds.
TEST_F(Signing, StraySecurityDirectoryOfAnUnsignedFileIsHarmless) {
  const Bytes archive_bytes = test::build_archive({{"a.txt", "abc"}});
  const std::size_t stub_size = pe_stub(pe32).size();
  const std::uint32_t size = static_cast<std::uint32_t>(stub_size + archive_bytes.size());
  const std::uint32_t into_archive = static_cast<std::uint32_t>((stub_size + 8) / 8 * 8);
  struct Case {
    const char* name;
    std::uint32_t offset, table_size;
    Bytes record;  // written at offset when it lies in the stub
  };
  const std::vector<Case> cases = {
      {"stub signed before packing", 0x200, 0x100, certificate(0xF8)},
      {"into the archive, to the end", into_archive, size - into_archive, {}},
      {"around the archive, to the end", 0x200, size - 0x200, certificate(size - 0x200 - 8)},
      {"over the headers", 0, size, {}},
      {"sizes that wrap", 0xFFFFFFF8u, size + 8, {}},
      {"all ones", 0xFFFFFFFFu, 0xFFFFFFFFu, {}},
  };
  for (const Case& c : cases) {
    Bytes file = pe_stub(pe32);
    set_security(file, pe32, c.offset, c.table_size);
    if (!c.record.empty()) std::copy_n(c.record.begin(), 8, file.begin() + c.offset);
    file.insert(file.end(), archive_bytes.begin(), archive_bytes.end());
    ASSERT_EQ(file.size(), size);
    ASSERT_EQ(open(file), 0) << c.name;
    EXPECT_EQ(archive.archive_end, size) << c.name;
    EXPECT_EQ(payload_start(), stub_size) << c.name;
  }
}

}  // namespace
}  // namespace kelvra
