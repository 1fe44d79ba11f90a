// Extraction reads the payload ahead in large blocks: chunks across two reads, the
// longest chunk, entries skipped within and past what was read, all come out whole.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/unit/extraction_fixture.h"

namespace kelvra {
namespace {

using test::Bytes;

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

using ReadAhead = test::ExtractionRun;

TEST_F(ReadAhead, EntriesAcrossReadsComeOutWholeAndTheDescriptorFollowsEach) {
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
