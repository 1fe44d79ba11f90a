// The archive changed on disk between the check and the extraction (the program's own
// file is open shared for writing): the run must still end, read every chunk within
// its buffer, and write only what really inflated.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "resources/strings.h"
#include "tests/unit/extraction_fixture.h"

namespace kelvra {
namespace {

using test::Bytes;
using test::noise;
using test::read_all;

struct Stored {
  std::string name;
  std::string content;
  std::uint64_t offset;  // of the entry's first payload byte in the file
  std::uint32_t size;
};

// What an entry's payload can give: its chunks that inflate whole into one output
// buffer, in order, up to the first one that doesn't. *clean: every chunk did.
std::string inflatable(const Bytes& file, const Stored& entry, bool* clean) {
  std::string out;
  *clean = false;
  if (entry.offset > file.size()) return out;
  const std::uint8_t* p = file.data() + entry.offset;
  const std::size_t size = std::min<std::size_t>(entry.size, file.size() - entry.offset);
  std::size_t at = 0;
  while (at < entry.size) {
    if (at + 2 > size) return out;
    const std::size_t length = format::read_u16(p + at);
    at += 2;
    if (length > entry.size - at || at + length > size) return out;
    std::vector<std::uint8_t> buffer(format::max_inflated_chunk);
    z_stream stream{};
    inflateInit(&stream);
    stream.next_in = const_cast<Bytef*>(p + at);
    stream.avail_in = static_cast<uInt>(length);
    stream.next_out = buffer.data();
    stream.avail_out = static_cast<uInt>(buffer.size());
    const bool whole = inflate(&stream, Z_FINISH) == Z_STREAM_END && stream.avail_in == 0;
    if (whole) out.append(reinterpret_cast<const char*>(buffer.data()), buffer.size() - stream.avail_out);
    inflateEnd(&stream);
    if (!whole) return out;
    at += length;
  }
  *clean = true;
  return out;
}

struct Change {
  const char* name;
  // Rewrites the file in place after it was opened and checked.
  void (*apply)(std::FILE* file, const std::vector<Stored>& entries, int descriptor);
  // Entries (by index) that must still come out whole.
  std::vector<int> intact;
  // The file ends before the payload does: the run stops at the first short read.
  bool cut = false;
};

void overwrite(std::FILE* file, std::uint64_t at, const std::string& bytes) {
  std::fseek(file, static_cast<long>(at), SEEK_SET);
  std::fwrite(bytes.data(), 1, bytes.size(), file);
}

const Change changes[] = {
    {"garbage over every payload byte",
     [](std::FILE* file, const std::vector<Stored>& entries, int) {
       const Stored& last = entries.back();
       overwrite(file, entries[0].offset, noise(last.offset + last.size - entries[0].offset, 7));
     },
     {}},
    {"cut in the middle of the second entry",
     [](std::FILE*, const std::vector<Stored>& entries, int descriptor) {
       ASSERT_EQ(0, ftruncate(descriptor, static_cast<off_t>(entries[1].offset + 25000)));
     },
     {0},
     true},
    {"cut to nothing",
     [](std::FILE*, const std::vector<Stored>&, int descriptor) { ASSERT_EQ(0, ftruncate(descriptor, 0)); },
     {},
     true},
    {"first chunk of the large entry claims 65535 bytes",
     [](std::FILE* file, const std::vector<Stored>& entries, int) {
       overwrite(file, entries[1].offset, std::string("\xff\xff", 2));
     },
     {0, 2}},
    {"first chunk replaced by one that inflates past the output buffer",
     [](std::FILE* file, const std::vector<Stored>& entries, int) {
       std::string zeros(20000, '\0');
       uLongf length = compressBound(static_cast<uLong>(zeros.size()));
       std::string stream(length, '\0');
       compress(reinterpret_cast<Bytef*>(&stream[0]), &length,
                reinterpret_cast<const Bytef*>(zeros.data()), static_cast<uLong>(zeros.size()));
       stream.resize(length);
       std::string header(2, '\0');
       format::write_u16(reinterpret_cast<std::uint8_t*>(&header[0]), static_cast<std::uint16_t>(length));
       overwrite(file, entries[0].offset, header + stream);
     },
     {1, 2}},
    {"one byte flipped inside a chunk",
     [](std::FILE* file, const std::vector<Stored>& entries, int) {
       overwrite(file, entries[0].offset + 10, "\x5a");
     },
     {1, 2}},
    {"bytes appended after the trailer",
     [](std::FILE* file, const std::vector<Stored>&, int) {
       std::fseek(file, 0, SEEK_END);
       const std::string more = noise(5000, 3);
       std::fwrite(more.data(), 1, more.size(), file);
     },
     {0, 1, 2}},
    {"last entry's chunks swapped for other ones that inflate",
     [](std::FILE* file, const std::vector<Stored>& entries, int) {
       Bytes forged;
       ASSERT_EQ(test::put_chunks(forged, "the lost one"), entries[2].size);
       overwrite(file, entries[2].offset, std::string(forged.begin(), forged.end()));
     },
     {0, 1}},
};

void PrintTo(const Change& change, std::ostream* out) { *out << change.name; }

class ChangedArchive : public test::ExtractionRun, public ::testing::WithParamInterface<Change> {};

TEST_P(ChangedArchive, RunEndsAndWritesOnlyWhatInflated) {
  // Three entries: several text pieces, incompressible pieces (10,011-byte chunks) that
  // add up past the largest chunk length, and a small one after them.
  std::vector<Stored> entries = {{"a.txt", noise(25000, 1), 0, 0},
                                 {"big.bin", noise(70000, 2), 0, 0},
                                 {"c.txt", "the last one", 0, 0}};
  for (Stored& e : entries) {
    for (char& c : e.content) c = e.name == "big.bin" ? c : static_cast<char>('a' + (c & 15));
  }
  const Bytes stub(300, 'S');
  Bytes payload, directory;
  for (Stored& e : entries) {
    e.offset = stub.size() + payload.size();
    e.size = test::put_chunks(payload, e.content);
    test::put_record(directory, e.name, e.size);
  }
  ASSERT_GT(entries[1].size, 65537u);
  test::put_strings(directory, {"", "c.txt"});
  const std::string path = root.file("installer.exe");
  ASSERT_TRUE(test::write_file(path, stub, test::finish_archive(payload, directory, 3)));
  ASSERT_EQ(0, open_archive(path.c_str()));

  std::FILE* file = std::fopen(path.c_str(), "r+b");
  ASSERT_NE(nullptr, file);
  GetParam().apply(file, entries, fileno(file));
  std::fclose(file);
  const std::string changed_text = read_all(path);
  const Bytes changed(changed_text.begin(), changed_text.end());

  const int result = extract_all();
  // A payload changed after the opening check fails the run, even where what it now
  // holds still inflates.
  const bool payload_kept = changed.size() >= stub.size() + payload.size() &&
                            std::equal(payload.begin(), payload.end(), changed.begin() + stub.size());
  EXPECT_EQ(payload_kept ? 0 : 2, result);
  // and says so instead of starting the program.
  EXPECT_EQ(platform::testing::start_count(), payload_kept ? 1 : 0);
  if (!payload_kept) {
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), TEXT_CORRUPTED);
  }

  std::size_t damaged = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    SCOPED_TRACE(entries[i].name);
    bool clean = false;
    const std::string expected = inflatable(changed, entries[i], &clean);
    if (!clean) ++damaged;
    const std::string got = read_all(target + "/" + entries[i].name);
    EXPECT_EQ(expected.size(), got.size());
    EXPECT_TRUE(expected == got);
    const auto& intact = GetParam().intact;
    if (std::find(intact.begin(), intact.end(), static_cast<int>(i)) != intact.end()) {
      EXPECT_TRUE(got == entries[i].content);
    }
  }
  if (GetParam().cut) {
    // One report for the whole run, not one box per entry left: no entry is written
    // after the cut, and the last one's file is never made.
    EXPECT_TRUE(reported().empty());
    EXPECT_EQ(std::count(messages.begin(), messages.end(), std::string(TEXT_CORRUPTED)), 1);
    EXPECT_FALSE(std::filesystem::exists(target + "/c.txt"));
  } else {
    EXPECT_EQ(damaged, reported().size());
  }
}

INSTANTIATE_TEST_SUITE_P(Changes, ChangedArchive, ::testing::ValuesIn(changes),
                         [](const ::testing::TestParamInfo<Change>& info) {
                           std::string name;
                           for (const char* p = info.param.name; *p != '\0'; ++p) {
                             name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace kelvra
