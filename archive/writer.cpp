// The format's writing side: cuts each input into pieces, compresses them on a pool of
// threads, and writes stub, payload, directory and trailer in one pass with a running
// CRC-32. Pieces are written in input order, so the bytes don't depend on the pool.
#include "archive/writer.h"

#include <zlib.h>
// A build for a system without libdeflate and zopfli offers zlib's levels only.
#ifndef KELVRA_ZLIB_ONLY
#include <libdeflate.h>
#include <zopfli/zopfli.h>
#endif

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "archive/format.h"
#include "archive/names.h"
#include "packer/system/files.h"

namespace kelvra::writer {

namespace system = pack::system;

namespace {

std::string in_quotes(const std::string& text) { return "'" + text + "'"; }

char temporary[4096];

void set_temporary(const std::string& path) {
  std::memset(temporary, 0, sizeof temporary);
  if (path.size() < sizeof temporary) std::memcpy(temporary, path.data(), path.size());
}

// One deflate stream per thread, reset per piece: a stream of its own per piece would
// allocate and clear about 270 KB each time, and the page faults of that, taken by
// every worker at once, keep them from running side by side. A reset stream writes
// the same bytes as a new one. Kept without a destructor: MinGW may free a thread's
// thread_local storage before it runs that storage's destructors, so a worker releases
// its own streams before it returns (release_thread_compressors); the main thread's
// go at exit.
struct Deflater {
  z_stream stream;
  int level;  // 0: no stream
};
thread_local Deflater deflater{};

z_stream* deflater_for(int level) {
  Deflater& holder = deflater;
  if (holder.level == level) return deflateReset(&holder.stream) == Z_OK ? &holder.stream : nullptr;
  if (holder.level != 0) deflateEnd(&holder.stream);
  holder.stream = z_stream{};
  holder.level = deflateInit(&holder.stream, level) == Z_OK ? level : 0;
  return holder.level != 0 ? &holder.stream : nullptr;
}

std::vector<std::uint8_t> compress_zlib(const std::uint8_t* data, std::size_t size, int level) {
  uLongf length = compressBound(static_cast<uLong>(size));
  std::vector<std::uint8_t> out(length);
  z_stream* stream = length <= UINT_MAX ? deflater_for(level) : nullptr;
  if (stream == nullptr) {
    // Beyond what one call takes (never a piece) compress2 feeds it in parts.
    if (compress2(out.data(), &length, data, static_cast<uLong>(size), level) != Z_OK) return {};
    out.resize(length);
    return out;
  }
  stream->next_in = const_cast<Bytef*>(data);
  stream->avail_in = static_cast<uInt>(size);
  stream->next_out = out.data();
  stream->avail_out = static_cast<uInt>(length);
  if (deflate(stream, Z_FINISH) != Z_STREAM_END) return {};
  out.resize(stream->total_out);
  return out;
}

#ifndef KELVRA_ZLIB_ONLY
// libdeflate's strongest level wants a sizeable compressor; one per thread, kept and
// released like the deflate streams.
thread_local libdeflate_compressor* compressor = nullptr;

std::vector<std::uint8_t> compress_libdeflate(const std::uint8_t* data, std::size_t size) {
  if (!compressor) compressor = libdeflate_alloc_compressor(12);
  if (!compressor) return {};
  std::vector<std::uint8_t> out(libdeflate_zlib_compress_bound(compressor, size));
  const std::size_t length = libdeflate_zlib_compress(compressor, data, size, out.data(), out.size());
  out.resize(length);  // 0 means it didn't fit, which the bound rules out
  return out;
}

std::vector<std::uint8_t> compress_zopfli(const std::uint8_t* data, std::size_t size) {
  ZopfliOptions options;
  ZopfliInitOptions(&options);
  unsigned char* packed = nullptr;
  std::size_t length = 0;
  ZopfliCompress(&options, ZOPFLI_FORMAT_ZLIB, data, size, &packed, &length);
  std::vector<std::uint8_t> out(packed, packed + length);
  std::free(packed);
  return out;
}
#endif

// Where the archive's bytes go: a file or memory, with the CRC-32 kept as they pass.
struct Output {
  std::FILE* file = nullptr;
  std::vector<std::uint8_t>* memory = nullptr;
  std::string path;  // for messages
  uLong crc = 0;
  bool checksummed = false;  // the stub's bytes are not covered
};

std::string emit(Output& out, const std::uint8_t* data, std::size_t size) {
  if (size == 0) return {};
  if (out.checksummed) out.crc = crc32_z(out.crc, data, size);
  if (out.memory) {
    out.memory->insert(out.memory->end(), data, data + size);
    return {};
  }
  if (std::fwrite(data, 1, size, out.file) != size) {
    return "cannot write " + in_quotes(out.path) + ": " + system::last_error();
  }
  return {};
}

struct Piece {
  std::size_t input = 0;  // which entry it belongs to
  std::vector<std::uint8_t> raw;
  std::vector<std::uint8_t> packed;
  bool done = false;
};

// The compression pool: workers take pieces in the order they were queued; the
// caller collects them in the same order, so only timing depends on the pool.
struct Pool {
  std::mutex mutex;
  std::condition_variable work_ready;
  std::condition_variable piece_done;
  std::deque<Piece*> queue;
  bool stopping = false;
  int level = default_level;
  std::vector<std::thread> threads;
};

// The main thread's compressors go when the process ends, on that thread.
struct ReleaseAtExit {
  ~ReleaseAtExit() { release_thread_compressors(); }
} release_at_exit;

void run_worker(Pool* pool) {
  struct Release {
    ~Release() { release_thread_compressors(); }
  } release;
  std::unique_lock<std::mutex> lock(pool->mutex);
  for (;;) {
    pool->work_ready.wait(lock, [pool] { return pool->stopping || !pool->queue.empty(); });
    if (pool->queue.empty()) return;
    Piece* piece = pool->queue.front();
    pool->queue.pop_front();
    lock.unlock();
    piece->packed = compress_piece(piece->raw.data(), piece->raw.size(), pool->level);
    lock.lock();
    piece->done = true;
    pool->piece_done.notify_all();
  }
}

void stop_pool(Pool& pool) {
  {
    std::lock_guard<std::mutex> lock(pool.mutex);
    pool.stopping = true;
    pool.queue.clear();  // pieces not yet taken are dropped; taken ones finish
  }
  pool.work_ready.notify_all();
  for (std::thread& thread : pool.threads) thread.join();
  pool.threads.clear();
}

struct PoolGuard {
  Pool& pool;
  ~PoolGuard() { stop_pool(pool); }
};

unsigned job_count(unsigned requested) {
  if (requested != 0) return requested;
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

std::uint64_t input_size(const Input& input) {
  if (input.size != Input::size_unknown) return input.size;
  std::uint64_t size = 0;
  return system::file_size(input.source_path, &size) ? size : 0;
}

struct StoredSizes {
  std::vector<std::uint64_t> sizes;
  std::uint64_t total = 0;
};

// Writes every entry's chunks; fills the stored sizes.
std::string write_payload(Output& out, const std::vector<Input>& inputs, const Options& options,
                          StoredSizes& stored) {
  stored.sizes.assign(inputs.size(), 0);
  const unsigned jobs = job_count(options.jobs);
  const std::size_t window = static_cast<std::size_t>(jobs) * 3;

  Progress progress;
  progress.files_total = static_cast<std::uint32_t>(inputs.size());
  if (options.progress) {
    for (const Input& input : inputs) progress.bytes_total += input_size(input);
  }

  // Declared before the pool: on an early return the workers are joined before the
  // pieces they may still hold are freed.
  std::deque<std::unique_ptr<Piece>> in_flight;
  Pool pool;
  pool.level = options.level;
  PoolGuard guard{pool};
  for (unsigned i = 0; i < jobs; ++i) pool.threads.emplace_back(run_worker, &pool);

  auto write_oldest = [&]() -> std::string {
    Piece* piece = in_flight.front().get();
    {
      std::unique_lock<std::mutex> lock(pool.mutex);
      pool.piece_done.wait(lock, [piece] { return piece->done; });
    }
    const Input& input = inputs[piece->input];
    if (piece->packed.empty()) return "cannot compress " + in_quotes(input.source_path);
    if (piece->packed.size() > format::max_chunk_length) {
      return "a piece of " + in_quotes(input.source_path) + " compressed to " +
             std::to_string(piece->packed.size()) + " bytes, past the chunk limit of " +
             std::to_string(format::max_chunk_length);
    }
    const std::uint64_t chunk = format::chunk_header_size + piece->packed.size();
    stored.sizes[piece->input] += chunk;
    stored.total += chunk;
    if (stored.total > options.payload_limit) {
      return "the compressed data passes the limit of " + std::to_string(options.payload_limit) +
             " bytes (4 GiB) at " + in_quotes(input.source_path);
    }
    std::uint8_t header[format::chunk_header_size];
    format::write_u16(header, static_cast<std::uint16_t>(piece->packed.size()));
    std::string error = emit(out, header, sizeof header);
    if (error.empty()) error = emit(out, piece->packed.data(), piece->packed.size());
    if (!error.empty()) return error;
    if (options.progress) {
      progress.files_done = static_cast<std::uint32_t>(piece->input);
      progress.bytes_done += piece->raw.size();
      options.progress(progress);
    }
    in_flight.pop_front();
    return {};
  };

  for (std::size_t index = 0; index < inputs.size(); ++index) {
    const Input& input = inputs[index];
    std::string reason;
    std::uint64_t size = 0;
    std::FILE* file = system::open_regular_input(input.source_path, &size, &reason);
    if (!file) return "cannot open " + in_quotes(input.source_path) + ": " + reason;
    if (input.size != Input::size_unknown) size = input.size;
    const std::string changed = in_quotes(input.source_path) + " changed while read: ";
    std::string error;
    // Exactly the gathered size is stored: a file that grows is not read past it (the
    // stored size and the progress total were taken from it), one that shrank is cut.
    for (std::uint64_t left = size;;) {
      auto piece = std::make_unique<Piece>();
      piece->input = index;
      piece->raw.resize(static_cast<std::size_t>(std::min<std::uint64_t>(format::piece_size, left)));
      const std::size_t got = piece->raw.empty() ? 0 : std::fread(piece->raw.data(), 1, piece->raw.size(), file);
      if (got < piece->raw.size() && std::ferror(file)) {
        error = "cannot read " + in_quotes(input.source_path) + ": " + system::last_error();
        break;
      }
      if (got < piece->raw.size()) {
        error = changed + "it holds " + std::to_string(size - left + got) + " bytes, fewer than the " +
                std::to_string(size) + " it held when gathered";
        break;
      }
      left -= got;
      if (left == 0 && std::fgetc(file) != EOF) {
        error = changed + "it grew past the " + std::to_string(size) + " bytes it held when gathered";
        break;
      }
      if (got == 0) break;
      piece->raw.resize(got);
      while (error.empty() && in_flight.size() >= window) error = write_oldest();
      if (!error.empty()) break;
      {
        std::lock_guard<std::mutex> lock(pool.mutex);
        pool.queue.push_back(piece.get());
      }
      in_flight.push_back(std::move(piece));
      pool.work_ready.notify_one();
      if (left == 0) break;
    }
    std::fclose(file);
    if (!error.empty()) return error;
  }
  while (!in_flight.empty()) {
    std::string error = write_oldest();
    if (!error.empty()) return error;
  }
  return {};
}

std::string write_all(Output& out, const std::vector<std::uint8_t>* stub,
                      const std::vector<Input>& inputs, const Strings& strings,
                      const Options& options) {
  std::string error;
  if (stub) {
    error = emit(out, stub->data(), stub->size());
    if (!error.empty()) return error;
  }
  out.checksummed = true;
  out.crc = crc32_z(0, nullptr, 0);

  StoredSizes stored;
  error = write_payload(out, inputs, options, stored);
  if (!error.empty()) return error;

  std::vector<std::uint8_t> directory;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const Input& input = inputs[i];
    std::uint8_t tail[format::record_tail_size];
    format::write_u32(tail + format::tail_stored_size_offset, static_cast<std::uint32_t>(stored.sizes[i]));
    tail[format::tail_attributes_offset] = input.attributes;
    format::write_u64(tail + format::tail_last_write_offset, input.last_write_time);
    format::write_u64(tail + format::tail_creation_offset, input.creation_time);
    directory.push_back(static_cast<std::uint8_t>(input.stored_name.size()));
    directory.insert(directory.end(), input.stored_name.begin(), input.stored_name.end());
    directory.insert(directory.end(), tail, tail + sizeof tail);
  }
  for (const std::string* text : strings.in_order()) {
    directory.push_back(static_cast<std::uint8_t>(text->size()));
    directory.insert(directory.end(), text->begin(), text->end());
  }
  // The trailer up to its checksum, which covers these bytes too.
  std::uint8_t counts[format::trailer_checksum_offset];
  format::write_u32(counts + format::trailer_directory_size_offset, static_cast<std::uint32_t>(directory.size()));
  format::write_u32(counts + format::trailer_entry_count_offset, static_cast<std::uint32_t>(inputs.size()));
  directory.insert(directory.end(), counts, counts + sizeof counts);

  error = emit(out, directory.data(), directory.size());
  if (!error.empty()) return error;
  out.checksummed = false;
  std::uint8_t checksum[format::checksum_field_size];
  format::write_u32(checksum, static_cast<std::uint32_t>(out.crc));
  return emit(out, checksum, sizeof checksum);
}

// Windows refuses these in file names, and drops a component's trailing dots and
// blanks, which would make two stored names land on one file.
std::string windows_name_problem(const std::string& name) {
  static const char forbidden[] = "<>\"|?*";
  std::size_t component_start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    const bool end = i == name.size() || name[i] == '\\' || name[i] == '/';
    if (end) {
      if (i > component_start && (name[i - 1] == '.' || name[i - 1] == ' ')) {
        return "a part of the name ends in a dot or a blank, which Windows drops";
      }
      if (i == component_start && i < name.size()) return "the name has an empty part";
      component_start = i + 1;
      continue;
    }
    if (std::strchr(forbidden, name[i])) {
      return std::string("the name holds '") + name[i] + "', which Windows file names can't";
    }
  }
  if (!name.empty() && (name.back() == '\\' || name.back() == '/')) return "the name ends in a separator";
  return {};
}

// Windows names compare without regard to case; ASCII folding covers what a stored
// name from one folder can clash on.
std::string fold_case(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '/') c = '\\';
  }
  return folded;
}

}  // namespace

std::string check_before_writing(const std::vector<Input>& inputs, const Strings& strings,
                                 const Options& options) {
  if (options.level < 1 || options.level > level_ultra) {
    return "compression level " + std::to_string(options.level) + " is not one of 1..9, max, ultra";
  }
#ifdef KELVRA_ZLIB_ONLY
  if (options.level > 9) return "compression levels max and ultra are not available in this build";
#endif
  return validate(inputs, strings);
}

// This thread's compressors, freed while its storage is still there.
void release_thread_compressors() {
  if (deflater.level != 0) deflateEnd(&deflater.stream);
  deflater.level = 0;
#ifndef KELVRA_ZLIB_ONLY
  if (compressor) libdeflate_free_compressor(compressor);
  compressor = nullptr;
#endif
}

std::vector<std::uint8_t> compress_piece(const std::uint8_t* data, std::size_t size, int level) {
#ifndef KELVRA_ZLIB_ONLY
  if (level == level_max) return compress_libdeflate(data, size);
  if (level == level_ultra) return compress_zopfli(data, size);
#endif
  return compress_zlib(data, size, level);
}

std::vector<std::string> name_faults(const std::vector<std::string>& stored) {
  std::vector<std::string> faults(stored.size());
  std::set<std::string> names;
  for (std::size_t i = 0; i < stored.size(); ++i) {
    const std::string& name = stored[i];
    std::string& fault = faults[i];
    if (name.size() > format::max_name_length) {
      fault = "the name is " + std::to_string(name.size()) + " bytes, the limit is " +
              std::to_string(format::max_name_length);
    } else if (name.find('\0') != std::string::npos) {
      fault = "the name holds a zero byte";
    } else if (name.find('\\') != std::string::npos && name.find('/') != std::string::npos) {
      // Folders are made along one kind of separator: a name that mixes \ and / would
      // leave some of its folders uncreated and its file unwritten.
      fault = "the name mixes \\ and / as separators";
    } else {
      const NameProblem problem = check_entry_name(name.data(), name.size());
      fault = problem != NameProblem::none ? describe_name_problem(problem) : windows_name_problem(name);
    }
    if (fault.empty() && !names.insert(fold_case(name)).second) {
      fault = "another file has the same name (names ignore case on Windows)";
    }
  }
  // A file can't also be a folder of another entry.
  for (std::size_t i = 0; i < stored.size(); ++i) {
    if (!faults[i].empty()) continue;
    const std::string folded = fold_case(stored[i]);
    for (std::size_t at = folded.find('\\'); at != std::string::npos; at = folded.find('\\', at + 1)) {
      if (names.count(folded.substr(0, at))) {
        faults[i] = "its folder " + in_quotes(stored[i].substr(0, at)) + " is also stored as a file";
        break;
      }
    }
  }
  return faults;
}

std::string validate(const std::vector<Input>& inputs, const Strings& strings) {
  if (inputs.size() > format::max_entries) {
    return std::to_string(inputs.size()) + " files: an archive holds at most " +
           std::to_string(format::max_entries);
  }
  std::vector<std::string> stored;
  for (const Input& input : inputs) stored.push_back(input.stored_name);
  const std::vector<std::string> faults = name_faults(stored);
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    if (!faults[i].empty()) {
      return in_quotes(inputs[i].source_path) + " (stored as " + in_quotes(inputs[i].stored_name) +
             "): " + faults[i];
    }
  }

  // In the directory's order.
  static const char* const string_names[format::string_count] = {
      "the reserved string",
      "the program to run",
      "the first argument",
      "the second argument",
      "the prompt",
      "the password digest",
      "the default directory",
  };
  const auto texts = strings.in_order();
  for (std::uint32_t index = 0; index < format::string_count; ++index) {
    const std::string& text = *texts[index];
    const std::string what = string_names[index];
    const std::uint32_t limit = format::string_layout[index].limit;
    if (text.size() > limit) {
      return what + " is " + std::to_string(text.size()) + " bytes, the limit is " + std::to_string(limit);
    }
    // The reader keeps a string up to its first zero byte only.
    if (text.find('\0') != std::string::npos) return what + " holds a zero byte";
    const std::size_t at = refused_control(text.data(), text.size(), format::allowed_controls(index));
    if (at != text.size()) {
      char code[8];
      std::snprintf(code, sizeof code, "0x%02X", static_cast<unsigned char>(text[at]));
      return what + " holds the control character " + code +
             (index == format::string_prompt ? " (only tabs and line breaks may stand in it)" : "");
    }
  }
  return {};
}

const char* temporary_path() { return temporary; }

std::string write_archive(std::vector<std::uint8_t>& out, const std::vector<Input>& inputs,
                          const Strings& strings, const Options& options) {
  std::string error = check_before_writing(inputs, strings, options);
  if (!error.empty()) return error;
  Output output;
  output.memory = &out;
  output.path = "memory";
  return write_all(output, nullptr, inputs, strings, options);
}

std::string write_installer(const std::string& out_path, const std::vector<std::uint8_t>& stub,
                            const std::vector<Input>& inputs, const Strings& strings,
                            const Options& options) {
  // Refusals come before the temporary file exists.
  std::string error = check_before_writing(inputs, strings, options);
  if (!error.empty()) return error;

  // A leftover of a killed run must not block the next one, nor be overwritten blindly.
  Output output;
  std::string temp_path;
  std::string reason;
  for (int attempt = 0; !output.file && attempt < 100; ++attempt) {
    temp_path = out_path + ".partial" + (attempt ? std::to_string(attempt) : "");
    set_temporary(temp_path);
    bool exists = false;
    output.file = system::create_new_file(temp_path, &exists, &reason);
    if (!output.file && !exists) break;
  }
  if (!output.file) {
    set_temporary({});
    return "cannot create " + in_quotes(out_path) + " (through " + in_quotes(temp_path) + "): " + reason;
  }
  output.path = temp_path;

  error = write_all(output, &stub, inputs, strings, options);
  if (error.empty() && std::fflush(output.file) != 0) {
    error = "cannot write " + in_quotes(temp_path) + ": " + system::last_error();
  }
  if (std::fclose(output.file) != 0 && error.empty()) {
    error = "cannot write " + in_quotes(temp_path) + ": " + system::last_error();
  }
  if (error.empty() && options.finish) error = options.finish(temp_path);
  if (error.empty()) {
    const std::string rename_error = system::replace_file(temp_path, out_path);
    if (!rename_error.empty()) error = "cannot create " + in_quotes(out_path) + ": " + rename_error;
  }
  if (!error.empty()) system::remove_file(temp_path);
  set_temporary({});
  return error;
}

}  // namespace kelvra::writer
