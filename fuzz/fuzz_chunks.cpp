// Fuzz target: the chunk loop of one entry's payload, and that a damaged entry
// harms no other.
#include <sys/stat.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/extract.h"
#include "archive/format.h"
#include "fuzz/support.h"

namespace kelvra::fuzz {

namespace {

// One chunk as the extraction must take it: a whole zlib stream, every input byte
// used, at most one output buffer of data.
bool inflate_chunk(const std::uint8_t* data, std::size_t size, std::string* out) {
  std::vector<std::uint8_t> buffer(format::max_inflated_chunk);
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return false;
  stream.next_in = const_cast<Bytef*>(data);
  stream.avail_in = static_cast<uInt>(size);
  stream.next_out = buffer.data();
  stream.avail_out = static_cast<uInt>(buffer.size());
  const int result = inflate(&stream, Z_FINISH);
  const bool ok = result == Z_STREAM_END && stream.avail_in == 0;
  if (ok) out->append(reinterpret_cast<const char*>(buffer.data()), buffer.size() - stream.avail_out);
  inflateEnd(&stream);
  return ok;
}

// What an entry's payload gives: the chunks that inflate, in order, up to the first
// one that doesn't (or that runs past the entry). *clean: no such chunk.
std::string expected_content(const std::uint8_t* payload, std::size_t size, bool* clean) {
  std::string out;
  std::size_t at = 0;
  *clean = false;
  while (at < size) {
    if (size - at < format::chunk_header_size) return out;
    const std::size_t length = format::read_u16(payload + at);
    at += format::chunk_header_size;
    if (length > size - at) return out;
    if (!inflate_chunk(payload + at, length, &out)) return out;
    at += length;
  }
  *clean = true;
  return out;
}

}  // namespace

// Input: one control byte (the entry's attributes), then the first entry's payload,
// chunk headers and all. A second entry with known content follows it in the archive:
// whatever the first one holds, the second must come out whole.
int chunks_target(const std::uint8_t* data, std::size_t size) {
  current_target = "chunks";
  if (size < 1) return 0;
  reset_run_state();
  Cursor in{data, size};
  // Read-only files are still written; hidden and system mean nothing here.
  const std::uint8_t attributes = in.byte();
  const Bytes chunks = in.rest();

  static const std::string tail_content = [] {
    std::string text;
    for (int i = 0; text.size() < 12000; ++i) text += "tail line " + std::to_string(i) + "\n";
    return text;
  }();
  Bytes payload(chunks), directory;
  test::put_record(directory, "a.bin", static_cast<std::uint32_t>(chunks.size()), attributes);
  test::put_record(directory, "sub\\b.txt", test::put_chunks(payload, tail_content));
  test::put_strings(directory);
  const Bytes archive_bytes = test::finish_archive(payload, directory, 2);

  const std::string path = archive_path("chunks");
  if (!store(path, stub_prefix(64), archive_bytes)) return 0;
  const int opened = open_archive(path.c_str());
  INVARIANT(opened == 0, "a well-formed archive was refused");
  if (opened != 0) return 0;

  const std::string target = fresh_folder("chunks");
  script_questions({}, {});
  int result;
  {
    InFolder folder(target);
    if (!folder.entered()) {
      fail("cannot enter %s", target.c_str());
      release_archive();
      return 0;
    }
    result = extract_all();
  }
  INVARIANT(result == 0, "extract_all returned %d with nothing to ask", result);

  bool clean = false;
  const std::string expected = expected_content(chunks.data(), chunks.size(), &clean);
  std::string got;
  INVARIANT(read_whole(target + "/a.bin", &got), "a.bin was not created");
  INVARIANT(got == expected,
              "a.bin holds %zu bytes, expected the %zu bytes of the chunks that inflate",
              got.size(), expected.size());
  INVARIANT(read_whole(target + "/sub/b.txt", &got) && got == tail_content,
              "the entry after a damaged one did not come out whole");
  const std::size_t reports = write_failure_count();
  INVARIANT(reports == (clean ? 0u : 1u), "%zu failure reports for %s data", reports,
              clean ? "sound" : "damaged");
  struct stat st;
  INVARIANT(stat((target + "/sub/b.txt").c_str(), &st) == 0 &&
                  static_cast<std::uint64_t>(st.st_mtime) == 946684800u,
              "the second entry's last-write time was not set");
  release_archive();
  return 0;
}

}  // namespace kelvra::fuzz
