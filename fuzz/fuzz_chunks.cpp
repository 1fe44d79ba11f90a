// Fuzz target: the chunk loop of one entry's payload. Whatever the first entry holds, it
// is said damaged at most once and harms no other entry. Input: the first entry's
// attributes byte, then its payload, chunk headers and all.
#include "fuzz/support.h"

namespace kelvra::fuzz {

FUZZ_TARGET(chunks) {
  fresh_folder();
  const std::uint8_t attributes = in.byte();  // read-only files are still written
  static const std::string tail = test::noise(12000, 1);
  Bytes payload = in.rest(), directory;
  test::put_record(directory, "a.bin", static_cast<std::uint32_t>(payload.size()), attributes);
  test::put_record(directory, "sub\\b.txt", test::put_chunks(payload, tail));
  test::put_strings(directory);
  if (open_stored(64, test::finish_archive(payload, directory, 2), true) != 0) return;
  expect(extract_in(work_folder) == 0 && write_failure_count() <= 1,
         "a damaged entry was not said once, or stopped the run");
  expect(test::read_all(work_folder + "/sub/b.txt") == tail, "a sound entry after a damaged one is not whole");
}

}  // namespace kelvra::fuzz
