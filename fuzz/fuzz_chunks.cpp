// Fuzz target: the chunk loop of one entry's payload, and that a damaged entry harms no
// other.
#include <sys/stat.h>
#include <zlib.h>

#include "fuzz/support.h"

namespace kelvra::fuzz {

namespace {

// What an entry's payload must give: its chunks in order, each one whole zlib stream
// using every byte and at most one output buffer, up to the first that isn't (or that
// runs past the entry). *clean: there was no such chunk.
std::string expected_content(const Bytes& payload, bool* clean) {
  std::string out;
  std::vector<std::uint8_t> buffer(format::max_inflated_chunk);
  Cursor in{payload.data(), payload.size()};
  while (in.left() > 0) {
    uLong length = in.little_endian(format::chunk_header_size), inflated = buffer.size(), used = length;
    if (in.overrun || length > in.left() ||
        uncompress2(buffer.data(), &inflated, in.data + in.at, &used) != Z_OK || used != length) {
      *clean = false;
      return out;
    }
    out.append(reinterpret_cast<const char*>(buffer.data()), inflated);
    in.at += length;
  }
  *clean = true;
  return out;
}

}  // namespace

// Input: the first entry's attributes byte, then its payload, chunk headers and all. A
// second entry with known content follows it: whatever the first holds, the second comes
// out whole.
FUZZ_TARGET(chunks) {
  if (in.size < 1) return;
  const std::uint8_t attributes = in.byte();  // read-only files are still written
  const Bytes chunks = in.rest();
  static const std::string tail = test::noise(12000, 1);
  Bytes payload(chunks), directory;
  test::put_record(directory, "a.bin", static_cast<std::uint32_t>(chunks.size()), attributes);
  test::put_record(directory, "sub\\b.txt", test::put_chunks(payload, tail));
  test::put_strings(directory);
  if (open_stored(64, test::finish_archive(payload, directory, 2), true) != 0) return;

  const std::string target = fresh_folder();
  script_questions({}, {});
  bool clean = false;
  const std::string expected = expected_content(chunks, &clean);
  check_run(extract_in(target), clean ? 0 : 1);
  check_file(target + "/a.bin", expected);
  check_file(target + "/sub/b.txt", tail);
  struct stat st;
  INVARIANT(stat((target + "/sub/b.txt").c_str(), &st) == 0 &&
                static_cast<std::uint64_t>(st.st_mtime) == 946684800u,
            "the second entry's last-write time was not set");
}

}  // namespace kelvra::fuzz
