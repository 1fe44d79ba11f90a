// Signed installers: the archive is found before the certificate table, whatever zero
// padding the signer put in front of it; a table the reader can't trust is ignored.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "archive/archive.h"
#include "archive/format.h"
#include "archive_builder.h"
#include "output/message_area.h"

namespace kelvra {
namespace {

using test::Bytes;

constexpr std::size_t pe_offset = 0x80, optional_at = pe_offset + 24, stub_size = 1000;
constexpr std::uint16_t pe32 = 0x10b, pe32_plus = 0x20b;

std::size_t security_entry_at(std::uint16_t magic) { return optional_at + (magic == pe32_plus ? 112 : 96) + 4 * 8; }

// A stand-in stub shaped like a PE image as far as the reader looks: DOS header,
// signature, file header, optional header with 16 data directories, all empty.
Bytes pe_stub(std::uint16_t magic) {
  Bytes stub(stub_size, 0xCC);
  std::fill(stub.begin(), stub.begin() + 0x200, 0);
  std::copy_n("MZ", 2, stub.begin());
  format::write_u32(&stub[0x3C], pe_offset);
  std::copy_n("PE\0\0", 4, &stub[pe_offset]);
  const std::size_t directories = security_entry_at(magic) - 4 * 8 - optional_at;
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
Bytes certificate(std::uint32_t body_size, std::uint16_t revision = 0x0200) {
  Bytes record;
  test::put_u32(record, 8 + body_size);
  test::put_u16(record, revision);
  test::put_u16(record, 2);  // PKCS #7 signed data
  record.resize(8 + body_size, 0x30);
  record.resize((record.size() + 7) / 8 * 8);
  return record;
}

// What a signer does to an installer: zero bytes up to an 8-aligned offset, the table
// there, and the image's security directory pointed at it.
Bytes signed_file(std::uint16_t magic, const Bytes& archive, const Bytes& table = certificate(1200)) {
  Bytes file = pe_stub(magic);
  file.insert(file.end(), archive.begin(), archive.end());
  file.resize((file.size() + 7) / 8 * 8);
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

  test::TempDir dir;
};

// The reader tries the ends a signer's padding allows, and the file's own; a refusal is
// about the end whose directory it could read, whichever it tried last.
TEST_F(Signing, ArchiveIsFoundBeforeTheTableWhateverThePadding) {
  std::vector<Bytes> archives;
  // Prompts of 0 to 7 bytes give each padding a signer can add.
  for (int length = 0; length < 8; ++length) archives.push_back(test::build_archive({{"a.txt", "abc"}}, {"", "", "", "", std::string(length, 'p')}));
  // One whose checksum ends in a zero byte, which sits next to the padding like its own.
  for (int n = 0; archives.size() == 8; ++n) {
    ASSERT_LT(n, 100000);
    const Bytes bytes = test::build_archive({{"a.txt", "abc"}}, {std::to_string(n)});
    if (bytes.back() == 0) archives.push_back(bytes);
  }
  for (std::uint16_t magic : {pe32, pe32_plus}) {
    for (const Bytes& archive_bytes : archives) {
      SCOPED_TRACE(testing::Message() << "magic " << magic << ", archive of " << archive_bytes.size());
      const Bytes file = signed_file(magic, archive_bytes);
      ASSERT_EQ(open(file), 0);
      EXPECT_EQ(archive.archive_end, stub_size + archive_bytes.size());
      EXPECT_EQ(payload_start(), stub_size);
      EXPECT_STREQ(archive.entries[0].name, "a.txt");
      // A changed byte inside the first chunk, which only the checksum can tell; one in
      // the signature, which is Windows' to judge, not ours.
      Bytes changed = file;
      changed[stub_size + 3] ^= 0x10;
      ASSERT_EQ(open(changed), 1);
      EXPECT_EQ(archive.refusal, Refusal::checksum_mismatch);
      EXPECT_EQ(archive.archive_end, stub_size + archive_bytes.size());
      changed = file;
      changed[changed.size() - 100] ^= 0x10;
      EXPECT_EQ(open(changed), 0);
    }
  }
  // A table of two records (a second signature) is as good as one.
  Bytes two = certificate(900);
  const Bytes second = certificate(333, 0x0100);
  two.insert(two.end(), second.begin(), second.end());
  EXPECT_EQ(open(signed_file(pe32, archives[3], two)), 0);
}

// Each signed case spoils one thing the reader requires of the table, so the trailer is
// looked for at the file's end and not found; each unsigned one puts a stray value in the
// stub's security directory, which must not matter.
TEST_F(Signing, ATableTheReaderDoesNotTrustIsRefusedAndAStrayOneIgnored) {
  const Bytes archive_bytes = test::build_archive({{"a.txt", "abc"}}, {"", "", "", "", "pp"});
  Bytes unsigned_file = pe_stub(pe32);
  unsigned_file.insert(unsigned_file.end(), archive_bytes.begin(), archive_bytes.end());
  const std::uint32_t size = static_cast<std::uint32_t>(unsigned_file.size()), into_archive = (stub_size + 8) / 8 * 8;
  const std::size_t table_at = (size + 7) / 8 * 8, entry = security_entry_at(pe32);
  const auto size_at = [](std::size_t at, std::uint32_t value) { return [=](Bytes& f) { format::write_u32(&f[at], value); }; };
  const auto stray = [](std::uint32_t offset, std::uint32_t table_size, std::uint32_t record_body = 0) {
    return [=](Bytes& f) {
      set_security(f, pe32, offset, table_size);
      if (record_body > 0) std::copy_n(certificate(record_body).begin(), 8, f.begin() + offset);
    };
  };
  const std::tuple<const char*, bool, std::function<void(Bytes&)>> cases[] = {
      {"byte after the table", true, [](Bytes& f) { f.push_back(0); }},
      {"table one short of the end", true, size_at(entry + 4, certificate(1200).size() - 1)},
      {"offset not 8-aligned", true, [&](Bytes& f) {
         f.insert(f.begin() + static_cast<long>(table_at), 0);
         format::write_u32(&f[entry], static_cast<std::uint32_t>(table_at + 1));
       }},
      {"certificate type 1", true, [&](Bytes& f) { f[table_at + 6] = 1; }},
      {"revision 3.0", true, [&](Bytes& f) { f[table_at + 5] = 3; }},
      {"record longer than the table", true, size_at(table_at, 0x10000)},
      {"record shorter than its header", true, size_at(table_at, 4)},
      {"record leaves bytes unclaimed", true, size_at(table_at, 16)},
      {"no MZ", true, [](Bytes& f) { f[0] = 'X'; }},
      {"no PE signature", true, [](Bytes& f) { f[pe_offset + 3] = 1; }},
      {"e_lfanew past the file", true, size_at(0x3C, 0xFFFFFFF0u)},
      {"ROM image magic", true, [](Bytes& f) { format::write_u16(&f[optional_at], 0x107); }},
      {"four data directories", true, size_at(optional_at + 92, 4)},
      {"optional header too small", true, [](Bytes& f) { format::write_u16(&f[pe_offset + 20], 96 + 4 * 8); }},
      {"stub signed before packing", false, stray(0x200, 0x100, 0xF8)},
      {"into the archive, to the end", false, stray(into_archive, size - into_archive)},
      {"around the archive, to the end", false, stray(0x200, size - 0x200, size - 0x200 - 8)},
      {"over the headers", false, stray(0, size)},
      {"sizes that wrap", false, stray(0xFFFFFFF8u, size + 8)},
      {"all ones", false, stray(0xFFFFFFFFu, 0xFFFFFFFFu)},
  };
  for (const auto& [name, is_signed, change] : cases) {
    Bytes file = is_signed ? signed_file(pe32, archive_bytes) : unsigned_file;
    change(file);
    ASSERT_EQ(open(file), is_signed ? 1 : 0) << name;
    if (is_signed) continue;
    EXPECT_EQ(archive.archive_end, size) << name;
    EXPECT_EQ(payload_start(), stub_size) << name;
  }
}

}  // namespace
}  // namespace kelvra
