// kelvra-pack test: the archive opened (its CRC-32 summed by the testing threads when
// there are several), then every chunk inflated and held to the format's bounds.
//
// The chunks are independent zlib streams, so they can be inflated in any order: one
// thread reads them in archive order and checks their framing, it and its helpers
// inflate them, and results are taken back in archive order so that the first fault wins and the
// progress moves as it would on one thread.
#include "packer/commands/test.h"

#include <zlib.h>

#include <algorithm>
#include <cinttypes>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "archive/archive.h"
#include "archive/format.h"
#include "archive/writer.h"
#include "packer/commands/list.h"
#include "packer/packer.h"
#include "packer/pe/checksum.h"
#include "packer/pe/resources.h"
#include "packer/project/languages.h"
#include "packer/system/codepages.h"
#include "packer/system/progress.h"
#include "packer/system/terminal.h"

namespace kelvra::pack {

struct PayloadFault {
  std::uint32_t entry = 0;  // 0-based index of the entry holding the faulty chunk
  std::string text;         // "chunk N: ..."; empty when every chunk is sound
};

// Reads the opened archive's payload from its current position, entry by entry, and
// inflates each chunk on `jobs` threads (1: on this one; 0: one per core). The fault reported is always
// the first in archive order, whatever the number of threads; *chunks, *inflated and
// the progress shown are as a single thread would leave them. On more than one thread,
// *crc (when given) gets the CRC-32 of the payload's bytes read, which is the whole
// payload's when no fault comes back.

namespace {

// The payload is read in large blocks: two reads of the file per chunk would cost
// more time in the system than the inflating of small chunks does.
struct ReadAhead {
  std::vector<std::uint8_t> block;
  std::size_t at = 0, end = 0;
} ahead;
constexpr std::size_t read_ahead_size = 1 << 20;

// Starts reading at the file's current position.
void start_reading() {
  ahead.block.resize(read_ahead_size);
  ahead.at = ahead.end = 0;
}

bool read_exact(void* buffer, std::uint32_t size) {
  auto* at = static_cast<std::uint8_t*>(buffer);
  while (size > 0) {
    if (ahead.at == ahead.end) {
      const std::int32_t got =
          platform::read_file(archive.file, ahead.block.data(), static_cast<std::uint32_t>(ahead.block.size()));
      if (got <= 0) return false;
      ahead.at = 0;
      ahead.end = static_cast<std::size_t>(got);
    }
    const std::size_t piece = std::min<std::size_t>(size, ahead.end - ahead.at);
    std::memcpy(at, &ahead.block[ahead.at], piece);
    ahead.at += piece;
    at += piece;
    size -= static_cast<std::uint32_t>(piece);
  }
  return true;
}

// Inflates one chunk into out (format::max_inflated_chunk bytes): empty, or the fault.
std::string inflate_chunk(const std::uint8_t* in, std::uint32_t length, std::uint8_t* out, uLongf* produced) {
  *produced = format::max_inflated_chunk;
  uLong consumed = length;
  const int result = uncompress2(out, produced, in, &consumed);
  if (result == Z_BUF_ERROR && *produced == format::max_inflated_chunk) {
    return "it inflates to more than " + std::to_string(format::max_inflated_chunk) + " bytes";
  }
  if (result != Z_OK) return std::string("not a complete zlib stream (") + zError(result) + ")";
  if (consumed != length) return std::to_string(length - consumed) + " bytes follow the end of its zlib stream";
  return {};
}

// One chunk read from the archive, or the framing fault that stopped the reading.
struct Chunk {
  std::uint32_t entry = 0, number = 0;
  std::vector<std::uint8_t> data;
  std::string fault;  // framing fault (set by the reader) or inflate fault (by a worker)
  uLongf produced = 0;
  bool done = false;
};

// Reads the next chunk of the entry into *chunk; false at the entry's end. A framing
// fault comes back in chunk->fault with true.
bool read_chunk(std::uint32_t* remaining, Chunk* chunk) {
  if (*remaining == 0) return false;
  std::uint8_t header[format::chunk_header_size];
  if (*remaining < sizeof header) {
    chunk->fault = "the stored size ends inside its length field";
    return true;
  }
  if (!read_exact(header, sizeof header)) {
    chunk->fault = "cannot read it";
    return true;
  }
  *remaining -= sizeof header;
  const std::uint32_t length = format::read_u16(header);
  if (length > *remaining) {
    chunk->fault = "its length, " + std::to_string(length) + " bytes, passes the entry's stored size";
    return true;
  }
  chunk->data.resize(length);
  if (!read_exact(chunk->data.data(), length)) {
    chunk->fault = "cannot read it";
    return true;
  }
  *remaining -= length;
  return true;
}

// A run of consecutive chunks, the workers' unit: a chunk inflates in microseconds,
// so handing them over one by one would cost more than it saves.
struct Batch {
  std::vector<Chunk> chunks;
  uLong crc = 0;             // CRC-32 of the batch's bytes as stored, when asked for
  std::uint64_t stored = 0;  // how many bytes that is
  bool done = false;
};
constexpr std::size_t chunks_per_batch = 64;

// Inflates the batch's chunks up to its first fault, and sums their stored bytes into
// the batch's CRC while they are at hand.
void inflate_batch(Batch* batch, std::uint8_t* out) {
  batch->crc = crc32(0L, Z_NULL, 0);
  for (Chunk& chunk : batch->chunks) {
    if (!chunk.fault.empty()) break;  // a framing fault ends the batch
    chunk.fault =
        inflate_chunk(chunk.data.data(), static_cast<std::uint32_t>(chunk.data.size()), out, &chunk.produced);
    if (!chunk.fault.empty()) break;
    std::uint8_t header[format::chunk_header_size];  // as stored: the chunk's length
    format::write_u16(header, static_cast<std::uint16_t>(chunk.data.size()));
    batch->crc = crc32(batch->crc, header, sizeof header);
    batch->crc = crc32_z(batch->crc, chunk.data.data(), chunk.data.size());
    batch->stored += format::chunk_header_size + chunk.data.size();
  }
}

// The helpers, inflating whole batches until told to stop. The thread that reads the
// archive inflates too while it waits for the oldest batch, so on N threads there are
// N - 1 helpers and no core sits idle behind a reader with nothing to do.
class Pool {
 public:
  explicit Pool(unsigned helpers) {
    for (unsigned i = 0; i < helpers; ++i) workers_.emplace_back([this] { work(); });
  }
  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_workers_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }
  void submit(Batch* batch) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(batch);
    }
    wake_workers_.notify_one();
  }
  // Until the batch is done, inflates batches nobody has taken yet on this thread.
  void wait(Batch* batch, std::uint8_t* out) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!batch->done) {
      if (queue_.empty()) {
        finished_.wait(lock);
        continue;
      }
      Batch* job = take(lock);
      inflate_batch(job, out);
      finish(job, lock);
    }
  }

 private:
  Batch* take(std::unique_lock<std::mutex>& lock) {
    Batch* job = queue_.front();
    queue_.pop_front();
    lock.unlock();  // until done is set under the lock, only this thread touches the batch
    return job;
  }
  void finish(Batch* job, std::unique_lock<std::mutex>& lock) {
    lock.lock();
    job->done = true;
    finished_.notify_all();
  }
  void work() {
    std::vector<std::uint8_t> out(format::max_inflated_chunk);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_workers_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      Batch* job = take(lock);
      inflate_batch(job, out.data());
      finish(job, lock);
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_workers_, finished_;
  std::deque<Batch*> queue_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

PayloadFault test_on_one_thread(std::uint32_t* chunks, std::uint64_t* inflated) {
  std::uint64_t tested = 0;
  for (std::uint32_t i = 0; i < archive.entry_count; ++i) {
    std::uint32_t remaining = archive.entries[i].stored_size;
    Chunk chunk;
    for (chunk.number = 1; read_chunk(&remaining, &chunk); ++chunk.number, ++*chunks) {
      if (chunk.fault.empty()) {
        chunk.fault = inflate_chunk(chunk.data.data(), static_cast<std::uint32_t>(chunk.data.size()),
                                    archive.output_buffer, &chunk.produced);
      }
      if (!chunk.fault.empty()) return {i, "chunk " + std::to_string(chunk.number) + ": " + chunk.fault};
      *inflated += chunk.produced;
      tested += format::chunk_header_size + chunk.data.size();
      progress_update(tested, i);
    }
  }
  return {};
}

}  // namespace

// Reads the opened archive's payload from its current position, entry by entry, and
// inflates each chunk on `jobs` threads. The fault reported is always the first in
// archive order, whatever the number of threads; *chunks, *inflated and the progress
// shown are as a single thread would leave them. On more than one thread, *crc (when
// given) gets the CRC-32 of the payload's bytes read, which is the whole payload's when
// no fault comes back.
PayloadFault test_payload(unsigned jobs, std::uint32_t* chunks, std::uint64_t* inflated, std::uint32_t* crc) {
  if (jobs == 0) jobs = std::thread::hardware_concurrency();
  start_reading();
  if (jobs <= 1) return test_on_one_thread(chunks, inflated);
  uLong payload_crc = crc32(0L, Z_NULL, 0);

  // Enough batches in flight to keep every worker busy while the oldest is waited for.
  const std::size_t window = 2 * static_cast<std::size_t>(jobs);
  std::deque<Batch> flight;  // a deque: the workers' pointers stay valid as it changes
  Pool pool(jobs - 1);
  std::uint64_t tested = 0;
  PayloadFault fault;

  // Takes back the oldest batch in archive order; false at its first fault.
  auto retire = [&]() {
    Batch& oldest = flight.front();
    pool.wait(&oldest, archive.output_buffer);
    for (const Chunk& chunk : oldest.chunks) {
      if (!chunk.fault.empty()) {
        fault = {chunk.entry, "chunk " + std::to_string(chunk.number) + ": " + chunk.fault};
        return false;
      }
      ++*chunks;
      *inflated += chunk.produced;
      tested += format::chunk_header_size + chunk.data.size();
      progress_update(tested, chunk.entry);
    }
    // A batch is at most 64 chunks of 64 KiB: its length fits z_off_t everywhere.
    payload_crc = crc32_combine(payload_crc, oldest.crc, static_cast<z_off_t>(oldest.stored));
    flight.pop_front();
    return true;
  };

  // The reader: fills batches in archive order until the payload ends or its framing
  // breaks; a batch goes to the workers when full, at a fault, and at the very end.
  Batch filling;
  bool framing_fault = false;
  bool stopped = false;
  auto hand_over = [&]() {
    if (filling.chunks.empty()) return;
    while (flight.size() >= window && !stopped) stopped = !retire();
    flight.push_back(std::move(filling));
    filling = Batch();
    pool.submit(&flight.back());
  };
  for (std::uint32_t i = 0; i < archive.entry_count && !framing_fault && !stopped; ++i) {
    std::uint32_t remaining = archive.entries[i].stored_size;
    for (std::uint32_t number = 1; !stopped; ++number) {
      Chunk chunk;
      chunk.entry = i;
      chunk.number = number;
      if (!read_chunk(&remaining, &chunk)) break;
      framing_fault = !chunk.fault.empty();
      filling.chunks.push_back(std::move(chunk));
      if (framing_fault) break;  // the chunks before it may still hold an earlier fault
      if (filling.chunks.size() == chunks_per_batch) hand_over();
    }
  }
  if (!stopped) hand_over();
  while (!stopped && !flight.empty()) stopped = !retire();
  if (crc != nullptr) *crc = static_cast<std::uint32_t>(payload_crc);
  // The pool goes first (declared last): its workers finish what they hold while the
  // batches still exist.
  return fault;
}

namespace {

// With late_checksum, the archive's CRC-32 is summed by the threads that test the
// payload instead of in a pass of its own before them. Until it is known to match,
// nothing is said: an archive with any fault at all is tested again the usual way, so
// that every report is the one a test that checks the CRC-32 first would give.
int test_archive(const std::string& path, unsigned codepage, unsigned jobs, bool late_checksum) {
  const std::string problem = open_for_reading(path, codepage, !late_checksum);
  if (!problem.empty()) {
    complain(path + ": " + problem);
    return exit_failed;
  }
  // The reader lets through names that extraction still can't make (a folder part
  // lost to mixed separators, a trailing separator, a file that is also a folder);
  // the writer's own rules find them all.
  std::vector<std::string> names;
  for (std::uint32_t i = 0; i < archive.entry_count; ++i) names.emplace_back(archive.entries[i].name);
  std::vector<std::string> faults = writer::name_faults(names);
  const std::vector<std::string> read_faults = codepage_name_faults(names, codepage, true);
  for (std::size_t i = 0; i < faults.size(); ++i) {
    if (faults[i].empty()) faults[i] = read_faults[i];
  }
  bool unmakeable = false;
  for (std::uint32_t i = 0; i < archive.entry_count; ++i) {
    if (faults[i].empty()) continue;
    if (late_checksum) return test_archive(path, codepage, jobs, false);
    complain(path + ": entry " + std::to_string(i + 1) + " " + in_quotes(printable_stored(archive.entries[i].name, codepage)) +
             ": " + faults[i] + "; extract can't make it");
    unmakeable = true;
  }
  if (unmakeable) return exit_failed;

  std::uint32_t chunks = 0;
  std::uint64_t inflated = 0;
  if (!platform::seek_to(archive.file, payload_start())) {
    complain(path + ": cannot read the payload");
    return exit_failed;
  }
  // The PE checksum reads the whole file once more: with cores to spare, beside the
  // payload's test rather than after it.
  bool pe_fault = false;
  std::string pe;
  const auto check_pe = [&] { pe = describe_pe(path, payload_start(), archive.archive_end, &pe_fault); };
  std::thread pe_beside;
  if (jobs > 1) pe_beside = std::thread(check_pe);
  progress_start("testing", archive.payload_size, archive.entry_count);
  std::uint32_t payload_crc = 0;
  const PayloadFault fault = test_payload(jobs, &chunks, &inflated, late_checksum ? &payload_crc : nullptr);
  if (pe_beside.joinable()) {
    pe_beside.join();
  } else if (fault.text.empty()) {
    check_pe();
  }
  if (late_checksum && (!fault.text.empty() || !checksum_matches_after(payload_crc))) {
    progress_finish(false);
    return test_archive(path, codepage, jobs, false);
  }
  if (!fault.text.empty()) {
    progress_finish(false);
    complain(path + ": entry " + std::to_string(fault.entry + 1) + " " +
             in_quotes(printable_stored(archive.entries[fault.entry].name, codepage)) + ", " + fault.text);
    return exit_failed;
  }
  progress_update(archive.payload_size, archive.entry_count);
  progress_finish(true);
  if (pe_fault) {
    complain(path + ": " + pe);
    return exit_failed;
  }
  std::printf("OK: %s: checksum matches; %" PRIu32 " entries, %" PRIu32
              " chunks, %" PRIu64 " bytes inflated\n",
              path.c_str(), archive.entry_count, chunks, inflated);
  std::printf("%s: %s\n", path.c_str(), pe.c_str());
  return exit_ok;
}

}  // namespace

int run_test(const std::string& path, unsigned codepage, unsigned jobs) {
  if (jobs == 0) jobs = std::max(1u, std::thread::hardware_concurrency());
  // On one thread the CRC-32 pass first is as fast as any, and is the installer's own.
  return test_archive(path, codepage, jobs, jobs > 1);
}

}  // namespace kelvra::pack
