// Fuzz target: whatever the writer accepts opens and extracts to the same bytes under the
// same names. Input: compression level, file count, then per file a name (raw, or mapped
// onto a small alphabet), content (repeated to pass the piece size), the attributes and the
// two times (a braced list is read in order); then the seven strings.
#include "archive/writer.h"
#include "fuzz/support.h"

namespace kelvra::fuzz {

FUZZ_TARGET(round_trip) {
  fresh_folder();
  writer::Options options;
  options.level = 1 + in.byte() % writer::level_ultra;
  options.jobs = 1;
  const std::size_t file_count = in.byte() % 6;
  static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789-_. \\/ABC";
  std::vector<writer::Input> inputs;
  std::size_t total = 0;
  for (std::size_t i = 0; i < file_count; ++i) {
    const std::uint8_t form = in.byte();
    std::string name = in.bytes(form % 48);
    if (form & 0xC0) {
      for (char& c : name) c = alphabet[static_cast<unsigned char>(c) % (sizeof alphabet - 1)];
    }
    std::string content = in.bytes(in.little_endian(2) % 4096);
    const std::string piece = content;
    for (int r = 198, repeat = in.byte(); repeat >= 200 && r < repeat && content.size() < 40000; ++r) content += piece;
    inputs.push_back({name, work_folder + "-" + std::to_string(i), in.byte(), in.little_endian(8), in.little_endian(8)});
    test::write_file(inputs.back().source_path, {}, Bytes(content.begin(), content.end()));
    total += content.size();
  }
  // The strongest encoders are slow; keep them to small inputs.
  if (options.level >= writer::level_max && total > 3000) options.level = 9;
  writer::Strings strings;
  for (std::string* field : {&strings.reserved, &strings.run_program, &strings.run_arg1, &strings.run_arg2,
                             &strings.prompt, &strings.password_digest, &strings.default_dir}) {
    *field = in.bytes(in.byte() % 40);
  }
  Bytes written;
  if (!writer::write_archive(written, inputs, strings, options).empty() || open_stored(100, written, true) != 0) return;
  expect(extract_in(work_folder) == 0 && write_failure_count() == 0, "the written archive didn't extract cleanly");
  for (const writer::Input& input : inputs) {
    const std::string extracted = work_folder + "/" + slashes(input.stored_name);
    expect(read_whole(extracted) && test::read_all(extracted) == test::read_all(input.source_path),
           "a file doesn't hold what was stored");
  }
}

}  // namespace kelvra::fuzz
