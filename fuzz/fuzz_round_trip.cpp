// Fuzz target: writer -> reader -> extraction round trip.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/extract.h"
#include "archive/format.h"
#include "archive/writer.h"
#include "fuzz/support.h"

namespace kelvra::fuzz {

// Input: compression level, file count, then per file a name (raw, or mapped onto a
// small alphabet with separators), content (repeated to pass the piece size), the
// attributes and the two times; then the seven strings. Whatever the writer accepts
// must read back field for field and extract to the same bytes.
int round_trip_target(const std::uint8_t* data, std::size_t size) {
  current_target = "round_trip";
  reset_run_state();
  Cursor in{data, size};
  writer::Options options;
  options.level = 1 + in.byte() % writer::level_ultra;
  options.jobs = 1;
  const std::size_t file_count = in.byte() % 6;
  const std::string work = fresh_folder("round_trip");
  std::error_code ignored;
  fs::create_directories(work + "/source", ignored);
  fs::create_directories(work + "/target", ignored);

  static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789-_. \\/ABC";
  std::vector<writer::Input> inputs;
  std::vector<std::string> contents;
  std::size_t total = 0;
  for (std::size_t i = 0; i < file_count; ++i) {
    const std::uint8_t form = in.byte();
    std::string name = in.bytes(form % 48);
    if (form & 0xC0) {
      for (char& c : name) c = alphabet[static_cast<unsigned char>(c) % (sizeof alphabet - 1)];
    }
    std::string content = in.bytes(in.u16() % 4096);
    const std::uint8_t repeat = in.byte();
    if (repeat >= 200 && !content.empty()) {
      const std::string piece = content;
      for (int r = 198; r < repeat && content.size() < 40000; ++r) content += piece;
    }
    writer::Input input;
    input.stored_name = name;
    input.source_path = work + "/source/" + std::to_string(i);
    input.attributes = in.byte();
    input.last_write_time = in.u64();
    input.creation_time = in.u64();
    std::FILE* file = std::fopen(input.source_path.c_str(), "wb");
    if (file == nullptr) {
      fail("cannot write %s", input.source_path.c_str());
      return 0;
    }
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
    total += content.size();
    inputs.push_back(input);
    contents.push_back(content);
  }
  // The strongest encoders are slow; keep them to small inputs.
  if (options.level >= writer::level_max && total > 3000) options.level = 9;
  writer::Strings strings;
  std::string* const fields[format::string_count] = {
      &strings.reserved, &strings.run_program, &strings.run_arg1, &strings.run_arg2,
      &strings.prompt,   &strings.password_digest, &strings.default_dir};
  for (std::string* field : fields) *field = in.bytes(in.byte() % 40);

  const std::string refusal = writer::validate(inputs, strings);
  Bytes written;
  const std::string write_error = writer::write_archive(written, inputs, strings, options);
  if (!refusal.empty()) {
    INVARIANT(!write_error.empty(), "validate refused (%s) but write_archive wrote",
                refusal.c_str());
    return 0;
  }
  INVARIANT(write_error.empty(), "validate accepted but write_archive failed: %s",
              write_error.c_str());
  if (!write_error.empty()) return 0;

  const std::string path = archive_path("round_trip");
  if (!store(path, stub_prefix(100), written)) return 0;
  const int opened = open_archive(path.c_str());
  INVARIANT(opened == 0, "the reader refused what the writer wrote");
  if (opened != 0) return 0;
  INVARIANT(archive.entry_count == inputs.size(), "%u entries read back, %zu written",
              archive.entry_count, inputs.size());
  INVARIANT(payload_start() == 100, "payload found at %llu, not after the stub",
              static_cast<unsigned long long>(payload_start()));
  for (std::size_t i = 0; i < inputs.size() && i < archive.entry_count; ++i) {
    const DirectoryEntry& entry = archive.entries[i];
    INVARIANT(inputs[i].stored_name == entry.name &&
                    entry.name_length == inputs[i].stored_name.size() &&
                    entry.attributes == inputs[i].attributes &&
                    entry.last_write_time == inputs[i].last_write_time &&
                    entry.creation_time == inputs[i].creation_time,
                "entry %zu ('%s') read back differently", i, inputs[i].stored_name.c_str());
  }
  for (std::size_t i = 0; i < format::string_count; ++i) {
    INVARIANT(*fields[i] == archive_strings(i), "string %zu read back differently", i);
  }

  script_questions({}, {});
  int result;
  {
    InFolder folder(work + "/target");
    if (!folder.entered()) {
      fail("cannot enter the target");
      release_archive();
      return 0;
    }
    result = extract_all();
  }
  INVARIANT(result == 0, "extract_all returned %d for fresh names", result);
  INVARIANT(write_failure_count() == 0, "%zu failure reports for a sound archive",
              write_failure_count());
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    std::string got;
    const bool read = read_whole(work + "/target/" + local_path(inputs[i].stored_name), &got);
    INVARIANT(read && got == contents[i], "'%s' came out as %zu bytes, %zu went in",
                inputs[i].stored_name.c_str(), got.size(), contents[i].size());
  }
  release_archive();
  return 0;
}

}  // namespace kelvra::fuzz
