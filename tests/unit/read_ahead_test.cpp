// Extraction reads the payload ahead in large blocks: chunks that straddle two reads,
// the longest chunk the format allows, entries skipped through bytes already read and
// past them, and the descriptor standing after each entry's payload all the same.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/unit/extraction_fixture.h"

namespace kelvra {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::noise;
using test::read_all;

// A chunk of exactly 65,535 bytes, the most its length field allows: a zlib stream of
// empty stored blocks, then one stored block holding data (9,999 bytes).
Bytes longest_chunk(const std::string& data) {
  Bytes stream = {0x78, 0x01};
  const std::size_t empty_blocks = (65535 - 2 - 4 - 5 - data.size()) / 5;
  EXPECT_EQ(2 + empty_blocks * 5 + 5 + data.size() + 4, 65535u);
  for (std::size_t i = 0; i < empty_blocks; ++i) stream.insert(stream.end(), {0x00, 0x00, 0x00, 0xFF, 0xFF});
  stream.push_back(0x01);
  test::put_u16(stream, static_cast<std::uint16_t>(data.size()));
  test::put_u16(stream, static_cast<std::uint16_t>(~data.size()));
  test::put_bytes(stream, data);
  const uLong adler = adler32(1L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
  for (int shift = 24; shift >= 0; shift -= 8) stream.push_back(static_cast<std::uint8_t>(adler >> shift));
  Bytes chunk;
  test::put_u16(chunk, static_cast<std::uint16_t>(stream.size()));
  chunk.insert(chunk.end(), stream.begin(), stream.end());
  return chunk;
}

// Where the descriptor stood each time the run was done with an entry, that is right
// after extract_entry returned.
std::vector<std::uint64_t> positions;
void record_position() {
  positions.push_back(static_cast<std::uint64_t>(lseek(static_cast<int>(archive.file), 0, SEEK_CUR)));
}

struct Entry {
  std::string name;
  std::string content;
  bool exists = false;  // a file of that name is there already and is skipped
  Bytes payload = {};   // when set, stored as is instead of chunks of content
};

using ReadAhead = test::ExtractionRun;

TEST_F(ReadAhead, EntriesAcrossReadsComeOutWholeAndTheDescriptorFollowsEach) {
  // Sizes and kinds mixed so that chunks and headers fall across the ends of reads at
  // many offsets; skipped entries both within what was read ahead and well past it.
  std::vector<Entry> entries;
  std::uint32_t seed = 5;
  for (int i = 0; i < 40; ++i) {
    seed = seed * 1103515245u + 12345u;
    const std::size_t size = (seed >> 8) % 47000;
    std::string content = noise(size, seed);
    if (i % 3 == 0) {
      for (char& c : content) c = static_cast<char>('a' + (c & 7));
    }
    entries.push_back({"e" + std::to_string(i) + ".bin", content, i % 7 == 3});
  }
  entries.push_back({"empty.txt", ""});
  entries.push_back({"skipped-big.bin", noise(200000, 9), true});
  const std::string longest_data = noise(9999, 4);
  entries.push_back({"longest.bin", longest_data, false, longest_chunk(longest_data)});
  entries.push_back({"after-longest.txt", "the last one"});

  Bytes payload, directory;
  std::vector<std::uint64_t> ends;
  const Bytes stub(777, 'S');
  for (const Entry& e : entries) {
    std::uint32_t size;
    if (e.payload.empty()) {
      size = test::put_chunks(payload, e.content);
    } else {
      payload.insert(payload.end(), e.payload.begin(), e.payload.end());
      size = static_cast<std::uint32_t>(e.payload.size());
    }
    test::put_record(directory, e.name, size);
    ends.push_back(stub.size() + payload.size());
    if (e.exists) std::ofstream(target + "/" + e.name) << "old";
  }
  test::put_strings(directory);
  installer = root.file("setup.bin");
  ASSERT_TRUE(test::write_file(installer, stub, test::finish_archive(payload, directory, static_cast<std::uint32_t>(entries.size()))));
  ASSERT_EQ(open_archive(installer.c_str()), 0);

  overwrite_policy = OverwritePolicy::skip_all;
  positions.clear();
  scripted::after_each_entry(record_position);

  EXPECT_EQ(extract_all(), 0);
  EXPECT_TRUE(scripted::calls().empty());
  EXPECT_EQ(positions, ends);
  for (const Entry& e : entries) {
    SCOPED_TRACE(e.name);
    const std::string got = read_all(target + "/" + e.name);
    EXPECT_EQ(got.size(), e.exists ? 3u : e.content.size());
    EXPECT_TRUE(got == (e.exists ? "old" : e.content));
  }

  // A second run over the same archive starts afresh from the payload's first byte.
  for (const Entry& e : entries) fs::remove(target + "/" + e.name);
  overwrite_policy = OverwritePolicy::ask;
  positions.clear();
  EXPECT_EQ(extract_all(), 0);
  EXPECT_EQ(positions, ends);
  EXPECT_TRUE(read_all(target + "/longest.bin") == longest_data);
  EXPECT_TRUE(read_all(target + "/skipped-big.bin") == entries[41].content);
}

}  // namespace
}  // namespace kelvra
