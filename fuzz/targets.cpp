// The fuzz targets: the reader, the chunk loop, the entry-name check, the whole
// extraction into a throw-away folder, the after-run lookup, and a writer -> reader
// round trip. Each checks its invariants against an independent reading of the input.
#include "fuzz/targets.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/extract.h"
#include "archive/format.h"
#include "archive/names.h"
#include "archive/writer.h"
#include "output/output.h"
#include "platform/platform.h"
#include "platform/posix_testing.h"
#include "resources/strings.h"
#include "tests/unit/archive_builder.h"

namespace kelvra::fuzz {

namespace fs = std::filesystem;
using test::Bytes;

namespace {

// ---------------------------------------------------------------------------------
// Failures and scratch space

void abort_on_failure(const char* target, const char* what) {
  std::fprintf(stderr, "fuzz target %s: invariant broken: %s\n", target, what);
  std::fflush(stderr);
  std::abort();
}

FailureHandler failure_handler = abort_on_failure;
const char* current_target = "";

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void fail(const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  failure_handler(current_target, text);
}

#define INVARIANT(condition, ...)      \
  do {                                 \
    if (!(condition)) fail(__VA_ARGS__); \
  } while (0)

std::string root_path;

void remove_root() {
  std::error_code ignored;
  if (!root_path.empty()) fs::remove_all(root_path, ignored);
}

// The folder for one target, emptied for each input.
std::string fresh_folder(const char* name) {
  std::string path = scratch_root() + "/" + name;
  std::error_code ignored;
  fs::remove_all(path, ignored);
  fs::create_directories(path, ignored);
  return path;
}

std::vector<std::string> folder_names(const std::string& path) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names) out += (out.empty() ? "" : ", ") + name;
  return out;
}

bool read_whole(const std::string& path, std::string* content) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  content->clear();
  char buffer[8192];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) content->append(buffer, n);
  std::fclose(file);
  return true;
}

std::string local_path(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

// Keeps the process's working directory across a run that changes it.
class InFolder {
 public:
  explicit InFolder(const std::string& path) {
    char buffer[4096];
    if (getcwd(buffer, sizeof buffer) != nullptr) saved_ = buffer;
    entered_ = chdir(path.c_str()) == 0;
  }
  ~InFolder() {
    if (!saved_.empty() && chdir(saved_.c_str()) != 0) fail("cannot return to %s", saved_.c_str());
  }
  InFolder(const InFolder&) = delete;
  InFolder& operator=(const InFolder&) = delete;
  bool entered() const { return entered_; }

 private:
  std::string saved_;
  bool entered_ = false;
};

std::string working_directory() {
  char buffer[4096];
  return getcwd(buffer, sizeof buffer) != nullptr ? buffer : "";
}

// ---------------------------------------------------------------------------------
// Input decoding

// Takes bytes off the front of the input; past its end every read gives zeros.
struct Cursor {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;

  std::size_t left() const { return size - at; }
  std::uint8_t byte() { return at < size ? data[at++] : 0; }
  std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
  std::uint64_t u64() {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(byte()) << (8 * i);
    return v;
  }
  std::string bytes(std::size_t n) {
    n = std::min(n, left());
    std::string out(reinterpret_cast<const char*>(data + at), n);
    at += n;
    return out;
  }
  Bytes rest() {
    Bytes out(data + at, data + size);
    at = size;
    return out;
  }
};

// A stand-in for the stub in front of the archive: the reader must not care.
Bytes stub_prefix(std::size_t size) {
  Bytes prefix(size, 0);
  if (size >= 2) {
    prefix[0] = 'M';
    prefix[1] = 'Z';
  }
  return prefix;
}

// The questions' answers from the input: one byte each. Renames take a name from the
// same byte: cancelled, a plain name, a name in a new subfolder, or an absolute path
// inside the target (the user may pick any folder; these stay inside on purpose).
void decode_answers(Cursor& in, std::size_t count, const std::string& target,
                    std::vector<int>* answers, std::vector<NewName>* names) {
  static const int table[8] = {answer_replace, answer_skip,   answer_replace_all, answer_skip_all,
                               answer_rename,  answer_rename, answer_closed,      7};
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t b = in.byte();
    const int answer = table[b & 7];
    answers->push_back(answer);
    if (answer != answer_rename) continue;
    const std::string leaf = "r" + std::to_string(b >> 5) + ".txt";
    switch ((b >> 3) & 3) {
      case 0: names->push_back({true, ""}); break;
      case 1: names->push_back({false, leaf}); break;
      case 2: names->push_back({false, "rn\\" + leaf}); break;
      default: names->push_back({false, target + "/" + leaf}); break;
    }
  }
}

// ---------------------------------------------------------------------------------
// The archive under test

std::string archive_path(const char* target) { return scratch_root() + "/" + target + ".bin"; }

bool store(const std::string& path, const Bytes& prefix, const Bytes& bytes) {
  if (!test::write_file(path, prefix, bytes)) {
    fail("cannot write %s", path.c_str());
    return false;
  }
  return true;
}

bool terminated(const char* buffer, std::size_t size) {
  return buffer != nullptr && std::memchr(buffer, 0, size) != nullptr;
}

// The string as the reader keeps it: up to the first zero byte.
std::string up_to_zero(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

// An independent reading of a whole file (stub and archive) by the format's rules,
// with the bounds the reader's buffers set.
struct Parsed {
  std::uint32_t directory_size = 0, entry_count = 0, checksum = 0;
  std::uint64_t payload_size = 0, payload_start = 0;
  struct Entry {
    std::uint8_t name_length;
    std::string name;  // up to the first zero byte
    std::uint32_t stored_size;
    std::uint8_t attributes;
    std::uint64_t last_write_time, creation_time;
  };
  std::vector<Entry> entries;
  std::string strings[format::string_count];
};

const std::size_t string_sizes[format::string_count] = {
    format::string_buffer_size, format::string_buffer_size, format::string_buffer_size,
    format::string_buffer_size, format::string_buffer_size, format::digest_buffer_size,
    format::default_dir_buffer_size};

bool parse(const Bytes& file, Parsed* out) {
  const std::size_t size = file.size();
  if (size < format::trailer_size) return false;
  const std::uint8_t* trailer = file.data() + size - format::trailer_size;
  out->directory_size = format::read_u32(trailer);
  out->entry_count = format::read_u32(trailer + 4);
  out->checksum = format::read_u32(trailer + 8);
  if (out->entry_count > format::max_entries) return false;
  if (std::uint64_t{out->directory_size} + format::trailer_size > size) return false;

  std::size_t at = size - format::trailer_size - out->directory_size;
  const std::size_t end = size - format::trailer_size;
  for (std::uint32_t i = 0; i < out->entry_count; ++i) {
    if (at + 1 > end) return false;
    Parsed::Entry entry;
    entry.name_length = file[at++];
    if (at + entry.name_length + format::record_fixed_size - 1 > end) return false;
    entry.name = up_to_zero(std::string(reinterpret_cast<const char*>(&file[at]), entry.name_length));
    at += entry.name_length;
    if (check_entry_name(entry.name.c_str(), entry.name.size() + 1) != NameProblem::none) return false;
    entry.stored_size = format::read_u32(&file[at]);
    entry.attributes = file[at + 4];
    entry.last_write_time = format::read_u64(&file[at + 5]);
    entry.creation_time = format::read_u64(&file[at + 13]);
    at += format::record_fixed_size - 1;
    out->payload_size += entry.stored_size;
    if (out->payload_size > 0xFFFFFFFFu) return false;
    out->entries.push_back(entry);
  }
  for (std::size_t i = 0; i < format::string_count; ++i) {
    if (at + 1 > end) return false;
    const std::size_t length = file[at++];
    if (at + length > end || length >= string_sizes[i]) return false;
    out->strings[i] = up_to_zero(std::string(reinterpret_cast<const char*>(&file[at]), length));
    at += length;
  }
  if (at != end) return false;

  const std::uint64_t archive_size = out->payload_size + out->directory_size + format::trailer_size;
  if (archive_size > size) return false;
  out->payload_start = size - archive_size;
  const uLong crc = crc32(0L, file.data() + out->payload_start,
                          static_cast<uInt>(archive_size - format::checksum_field_size));
  return static_cast<std::uint32_t>(crc) == out->checksum;
}

const char* archive_strings(std::size_t i) {
  const char* const strings[format::string_count] = {
      archive.reserved_string, archive.run_program, archive.run_arg1,   archive.run_arg2,
      archive.prompt,          archive.password_digest, archive.default_dir};
  return strings[i];
}

// The opened archive against the independent reading.
void compare_with(const Parsed& parsed) {
  INVARIANT(archive.entry_count == parsed.entry_count, "entry count %u, expected %u",
              archive.entry_count, parsed.entry_count);
  INVARIANT(archive.payload_size == parsed.payload_size, "payload size %u, expected %llu",
              archive.payload_size, static_cast<unsigned long long>(parsed.payload_size));
  INVARIANT(payload_start() == parsed.payload_start, "payload starts at %llu, expected %llu",
              static_cast<unsigned long long>(payload_start()),
              static_cast<unsigned long long>(parsed.payload_start));
  const std::size_t count = std::min<std::size_t>(archive.entry_count, parsed.entries.size());
  for (std::size_t i = 0; i < count; ++i) {
    const DirectoryEntry& got = archive.entries[i];
    const Parsed::Entry& want = parsed.entries[i];
    INVARIANT(terminated(got.name, sizeof got.name), "entry %zu: name not terminated", i);
    INVARIANT(got.name_length == want.name_length && want.name == got.name &&
                    got.stored_size == want.stored_size && got.attributes == want.attributes &&
                    got.last_write_time == want.last_write_time &&
                    got.creation_time == want.creation_time,
                "entry %zu (%s) differs from the stored record", i, want.name.c_str());
  }
  for (std::size_t i = 0; i < format::string_count; ++i) {
    const char* got = archive_strings(i);
    INVARIANT(terminated(got, string_sizes[i]), "string %zu not terminated in its buffer", i);
    INVARIANT(terminated(got, string_sizes[i]) && parsed.strings[i] == got,
                "string %zu differs from the stored one", i);
  }
  INVARIANT(archive.banner != nullptr && std::strcmp(archive.banner, TEXT_BANNER) == 0,
              "banner is not the program's banner");
}

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

// On this platform a name leaves the folder only by a leading separator or a ".."
// part, once \ is read as /.
bool leaves_folder(const std::string& name) {
  const std::string path = local_path(name);
  if (!path.empty() && path[0] == '/') return true;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      if (path.compare(start, i - start, "..") == 0 && i - start == 2) return true;
      start = i + 1;
    }
  }
  return false;
}

void restore_path(bool had_path, const std::string& saved) {
  if (had_path) setenv("PATH", saved.c_str(), 1);
  else unsetenv("PATH");
}

void reset_run_state() {
  cancel_requested = 0;
  overwrite_policy = OverwritePolicy::ask;
  std::memset(current_path, 0, sizeof current_path);
  platform::testing::reset_starts();
  platform::testing::fail_allocation_after(-1);
}

}  // namespace

// -----------------------------------------------------------------------------------

void set_failure_handler(FailureHandler handler) {
  failure_handler = handler != nullptr ? handler : abort_on_failure;
}

const std::string& scratch_root() {
  if (root_path.empty()) {
    const char* bases[] = {"/dev/shm", std::getenv("TMPDIR"), "/tmp"};
    for (const char* base : bases) {
      if (base == nullptr || access(base, W_OK) != 0) continue;
      std::string pattern = std::string(base) + "/kelvra-fuzz-XXXXXX";
      if (mkdtemp(pattern.data()) != nullptr) {
        root_path = pattern;
        std::atexit(remove_root);
        break;
      }
    }
    if (root_path.empty()) abort_on_failure("scratch", "cannot make a scratch folder");
  }
  return root_path;
}

// Input: one control byte (bit 0: fix up the checksum; bits 1-2: size of a stand-in
// stub; bits 3-7: allocations allowed before the reader runs out of memory, 31: no
// limit), then the archive.
int reader_target(const std::uint8_t* data, std::size_t size) {
  current_target = "reader";
  if (size < 1) return 0;
  reset_run_state();
  Cursor in{data, size};
  const std::uint8_t control = in.byte();
  Bytes body = in.rest();
  if ((control & 1) && body.size() >= format::checksum_field_size) test::fix_checksum(body);
  const Bytes prefix = stub_prefix(((control >> 1) & 3) * 24u);
  const int allocations = control >> 3;

  const std::string path = archive_path("reader");
  if (!store(path, prefix, body)) return 0;
  if (allocations != 31) platform::testing::fail_allocation_after(allocations);
  const int result = open_archive(path.c_str());
  platform::testing::fail_allocation_after(-1);

  Bytes file(prefix);
  file.insert(file.end(), body.begin(), body.end());
  Parsed parsed;
  const bool valid = parse(file, &parsed);
  INVARIANT(result == 0 || result == 1, "open_archive returned %d", result);
  if (result == 0) {
    INVARIANT(valid, "an archive that breaks the format's rules was accepted");
    if (valid) compare_with(parsed);
    INVARIANT(archive.file != platform::invalid_file, "accepted, but no descriptor");
  } else {
    INVARIANT(!valid || allocations != 31, "a sound archive was refused");
    INVARIANT(archive.banner == nullptr || archive.banner[0] == '\0',
                "refused, but the banner is set");
  }
  release_archive();
  return 0;
}

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

// Input: a stored name. Whatever the check lets through must stay inside the target
// folder and name no device on Windows; whatever it refuses must have the reason given.
int names_target(const std::uint8_t* data, std::size_t size) {
  current_target = "names";
  const char* name = size > 0 ? reinterpret_cast<const char*>(data) : "";
  const NameProblem problem = check_entry_name(name, size);
  const std::string text = up_to_zero(std::string(name, size));

  bool empty = text.empty();
  bool absolute = !empty && (text[0] == '\\' || text[0] == '/');
  bool colon = text.find(':') != std::string::npos;
  bool parent = false, device = false;
  bool control = std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != '\\' && text[i] != '/') continue;
    const std::string part = text.substr(start, i - start);
    start = i + 1;
    if (part.empty()) continue;
    if (part.find_first_not_of(". ") == std::string::npos) parent = true;
    // The device is the part before the first dot, trailing blanks dropped.
    std::string base = part.substr(0, part.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    static const char* const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* d : devices) device = device || base == d;
    if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0)) {
      const unsigned char digit = static_cast<unsigned char>(base[3]);
      device = device || (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 ||
               digit == 0xB3;
    }
  }

  const std::string shown = text.substr(0, 80);
  if (problem == NameProblem::none) {
    INVARIANT(!empty && !absolute && !colon && !parent && !device && !control,
                "'%s' was let through (empty %d, absolute %d, colon %d, dots %d, device %d, control %d)",
                shown.c_str(), empty, absolute, colon, parent, device, control);
    INVARIANT(!leaves_folder(text), "'%s' leaves the folder", shown.c_str());
  } else {
    const bool reason_holds = (problem == NameProblem::empty && empty) ||
                              (problem == NameProblem::absolute && absolute) ||
                              (problem == NameProblem::colon && colon) ||
                              (problem == NameProblem::parent_component && parent) ||
                              (problem == NameProblem::device_name && device) ||
                              (problem == NameProblem::control_character && control);
    INVARIANT(reason_holds, "'%s' refused for a reason it doesn't have (%d)", shown.c_str(),
                static_cast<int>(problem));
  }
  const char* reason = describe_name_problem(problem);
  INVARIANT(reason != nullptr && reason[0] != '\0', "no reason text for %d",
              static_cast<int>(problem));
  return 0;
}

// Input: the number of scripted answers (low 4 bits of the first byte), the answers
// (one byte each), a control byte (bits 0-1: stub size; bit 2: files already in the
// target), then the archive; its checksum is always fixed up so the run goes ahead.
// The target holds links leading out of it (l, sub/l, m, b.txt).
// Nothing may appear outside target/, and the run must end where it started.
int extract_target(const std::uint8_t* data, std::size_t size) {
  current_target = "extract";
  if (size < 2) return 0;
  reset_run_state();
  Cursor in{data, size};
  const std::string base = fresh_folder("extract");
  const std::string parent = base + "/outer/parent";
  const std::string target = parent + "/target";
  std::error_code ignored;
  fs::create_directories(target, ignored);

  std::vector<int> answers;
  std::vector<NewName> names;
  decode_answers(in, in.byte() & 15, target, &answers, &names);
  const std::uint8_t control = in.byte();
  Bytes body = in.rest();
  if (body.size() >= format::checksum_field_size) test::fix_checksum(body);

  const std::string path = archive_path("extract");
  if (!store(path, stub_prefix((control & 3) * 16u), body)) return 0;
  if (open_archive(path.c_str()) != 0) return 0;

  // Checked before anything is written, so that a fault can't touch the machine.
  for (std::uint32_t i = 0; i < archive.entry_count; ++i) {
    if (leaves_folder(archive.entries[i].name)) {
      fail("the reader accepted '%s', which leaves the target folder", archive.entries[i].name);
      release_archive();
      return 0;
    }
  }
  if (control & 4) {
    fs::create_directories(target + "/sub", ignored);
    for (const char* name : {"/a.txt", "/sub/a.txt"}) {
      std::FILE* file = std::fopen((target + name).c_str(), "wb");
      if (file != nullptr) std::fclose(file);
    }
    fs::permissions(target + "/a.txt", fs::perms::owner_read, ignored);
  }

  // Links in the target that lead out of it, to folders and to a file not there yet:
  // nothing may be written through any of them.
  fs::create_directories(target + "/sub", ignored);
  fs::create_directory_symlink(base + "/outer", target + "/l", ignored);
  fs::create_directory_symlink(parent, target + "/sub/l", ignored);
  fs::create_directory_symlink(base + "/outer/missing", target + "/m", ignored);
  fs::create_symlink(parent + "/planted", target + "/b.txt", ignored);

  script_questions(answers, names);
  int result;
  std::string ended_in;
  {
    InFolder folder(target);
    if (!folder.entered()) {
      fail("cannot enter %s", target.c_str());
      release_archive();
      return 0;
    }
    result = extract_all();
    ended_in = working_directory();
  }
  INVARIANT(ended_in == target, "the run ended in %s instead of the target", ended_in.c_str());
  INVARIANT(result == (cancel_requested ? 1 : 0), "extract_all returned %d, cancel_requested %d",
              result, static_cast<int>(cancel_requested));
  INVARIANT(result == 0 || platform::testing::start_count() == 0,
              "a cancelled run started the program");

  // Each folder from the scratch root down holds only the way to the target.
  const std::vector<std::string> expected_base = {"outer"}, expected_outer = {"parent"},
                                  expected_parent = {"target"};
  const std::vector<std::string> in_base = folder_names(base), in_outer = folder_names(base + "/outer"),
                                 in_parent = folder_names(parent);
  INVARIANT(in_base == expected_base && in_outer == expected_outer && in_parent == expected_parent,
              "written outside the target: [%s] [%s] [%s]", joined(in_base).c_str(),
              joined(in_outer).c_str(), joined(in_parent).c_str());
  for (const std::string& name : folder_names(scratch_root())) {
    bool known = false;
    for (std::size_t i = 0; i < target_count; ++i) {
      known = known || name == targets[i].name || name == std::string(targets[i].name) + ".bin";
    }
    INVARIANT(known, "written outside the target: %s in the scratch root", name.c_str());
  }
  release_archive();
  return 0;
}

// Input: the command-line buffer size (first byte, times 3), the lookup buffer size
// (second byte; odd: the real 260), then newline-separated fields: the program, its two
// arguments and PATH. The lookup runs in a folder holding a few candidate programs.
int after_run_target(const std::uint8_t* data, std::size_t size) {
  current_target = "after_run";
  if (size < 2) return 0;
  reset_run_state();
  Cursor in{data, size};
  const std::size_t line_size = in.byte() * 3u;
  const std::uint8_t lookup_byte = in.byte();
  const std::size_t lookup_size = (lookup_byte & 1) ? format::path_buffer_size : lookup_byte;
  std::string rest = in.bytes(in.left());
  std::string fields[4];
  for (int i = 0; i < 3; ++i) {
    const std::size_t newline = rest.find('\n');
    fields[i] = rest.substr(0, newline);
    rest = newline == std::string::npos ? "" : rest.substr(newline + 1);
  }
  fields[3] = up_to_zero(rest);
  for (int i = 0; i < 3; ++i) fields[i] = fields[i].substr(0, format::max_string_length);

  const std::string work = scratch_root() + "/after_run";
  if (!fs::exists(work + "/bin")) {
    std::error_code ignored;
    for (const char* folder : {"/bin", "/x.y", "/two words", "/deep/er"}) {
      fs::create_directories(work + folder, ignored);
    }
    for (const char* file : {"/setup.exe", "/install.bat", "/noext", "/bin/run.com", "/bin/run.exe",
                             "/bin/tool.cmd", "/x.y/prog.bat", "/two words/app.exe", "/deep/er/x.exe",
                             "/dot.", "/a.b.c"}) {
      std::FILE* f = std::fopen((work + file).c_str(), "wb");
      if (f != nullptr) std::fclose(f);
    }
  }

  Bytes directory;
  test::put_strings(directory, {"", fields[0], fields[1], fields[2]});
  const std::string path = archive_path("after_run");
  if (!store(path, {}, test::finish_archive({}, directory, 0))) return 0;
  const int opened = open_archive(path.c_str());
  // Whatever bytes the strings hold, the archive opens: only names refuse control bytes.
  INVARIANT(opened == 0, "an archive with only strings was refused");
  if (opened != 0) return 0;
  const std::string program = up_to_zero(fields[0]);
  const std::string line = program + " " + up_to_zero(fields[1]) + " " + up_to_zero(fields[2]);

  const char* old_path = std::getenv("PATH");
  const bool had_path = old_path != nullptr;
  const std::string saved_path = had_path ? old_path : "";
  setenv("PATH", fields[3].c_str(), 1);
  {
    InFolder folder(work);
    if (!folder.entered()) {
      fail("cannot enter %s", work.c_str());
      restore_path(had_path, saved_path);
      release_archive();
      return 0;
    }

    // Exactly sized heap blocks, so that a byte past the end is caught.
    char* buffer = static_cast<char*>(std::malloc(line_size));
    const bool built = build_run_command_line(buffer, line_size);
    if (built) {
      INVARIANT(line.size() < line_size && std::strcmp(buffer, line.c_str()) == 0,
                  "command line '%.80s', expected '%.80s'", buffer, line.c_str());
    } else {
      INVARIANT(line.size() >= line_size, "a command line of %zu bytes didn't fit %zu",
                  line.size(), line_size);
    }
    std::free(buffer);

    // The lookup's rules, read independently: the target folder, then PATH (not for
    // names with /); each place with the four extensions unless the last part has a dot.
    // Only files can be started: a folder of the same name doesn't count.
    auto exists = [](const std::string& p) {
      struct stat st;
      return stat(local_path(p).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
    };
    auto try_in = [&](const std::string& folder, std::string* found) {
      std::string base_name = folder;
      if (!base_name.empty() && base_name.back() != '\\') base_name += "\\";
      base_name += program;
      if (base_name.size() >= format::path_buffer_size) return false;
      const std::size_t last = program.find_last_of("\\/:");
      const bool dot = program.find('.', last == std::string::npos ? 0 : last + 1) != std::string::npos;
      std::vector<std::string> candidates;
      if (dot) candidates.push_back(base_name);
      else for (const char* e : {".com", ".exe", ".bat", ".cmd"}) candidates.push_back(base_name + e);
      for (const std::string& c : candidates) {
        if (c.size() >= format::path_buffer_size) continue;
        if (exists(c)) {
          *found = c;
          return true;
        }
      }
      return false;
    };
    std::string expected;
    bool expect_found = false;
    if (!program.empty()) {
      expect_found = try_in("", &expected);
      if (!expect_found && program.find('/') == std::string::npos) {
        std::string list = fields[3];
        std::size_t at = 0;
        while (!expect_found && at < list.size()) {
          std::size_t semi = list.find(';', at);
          if (semi == std::string::npos) semi = list.size();
          std::string folder = list.substr(at, semi - at);
          at = semi + 1;
          folder.erase(std::remove(folder.begin(), folder.end(), '"'), folder.end());
          if (folder.empty() || folder.size() >= format::path_buffer_size) continue;
          expect_found = try_in(folder, &expected);
        }
      }
    }

    char* found = static_cast<char*>(std::malloc(lookup_size));
    const bool located = find_run_program(found, lookup_size);
    if (located) {
      INVARIANT(terminated(found, lookup_size), "the found file's name is not terminated");
      INVARIANT(exists(found), "found '%.80s', which doesn't exist", found);
    }
    if (lookup_size == format::path_buffer_size) {
      INVARIANT(located == expect_found && (!located || expected == found),
                  "'%.60s' looked up as '%.80s', expected '%.80s'", program.c_str(),
                  located ? found : "(nothing)", expect_found ? expected.c_str() : "(nothing)");
    }
    std::free(found);

    start_run_program();
    const int starts = platform::testing::start_count();
    const bool should_start = expect_found && line.size() < 3 * format::string_buffer_size;
    INVARIANT(starts == (should_start ? 1 : 0), "%d starts for '%.80s'", starts, program.c_str());
    const platform::testing::StartRecord* record = platform::testing::last_start();
    if (should_start && record != nullptr) {
      INVARIANT(expected == record->file && line == record->command_line,
                  "started '%.80s' as '%.80s'", record->file, record->command_line);
    }
  }
  restore_path(had_path, saved_path);
  release_archive();
  return 0;
}

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

const Target targets[] = {
    {"reader", reader_target},       {"chunks", chunks_target},
    {"names", names_target},         {"extract", extract_target},
    {"after_run", after_run_target}, {"round_trip", round_trip_target},
};
const std::size_t target_count = sizeof targets / sizeof targets[0];

}  // namespace kelvra::fuzz
