// The chunks are independent zlib streams, so they can be inflated in any order: one
// thread reads them in archive order and checks their framing, workers inflate them,
// and results are taken back in archive order so that the first fault wins and the
// progress moves as it would on one thread.
#include "packer/test_parallel.h"

#include <zlib.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "archive/archive.h"
#include "archive/format.h"
#include "packer/progress.h"

namespace kelvra::pack {

namespace {

bool read_exact(void* buffer, std::uint32_t size) {
  auto* at = static_cast<std::uint8_t*>(buffer);
  while (size > 0) {
    const std::int32_t got = platform::read_file(archive.file, at, size);
    if (got <= 0) return false;
    at += got;
    size -= static_cast<std::uint32_t>(got);
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

// The workers and the window of chunks in flight, oldest first.
class Pool {
 public:
  explicit Pool(unsigned jobs) {
    for (unsigned i = 0; i < jobs; ++i) workers_.emplace_back([this] { work(); });
  }
  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_workers_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }
  void submit(Chunk* chunk) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(chunk);
    }
    wake_workers_.notify_one();
  }
  void wait(Chunk* chunk) {
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [&] { return chunk->done; });
  }

 private:
  void work() {
    std::vector<std::uint8_t> out(format::max_inflated_chunk);
    for (;;) {
      Chunk* chunk = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_workers_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        chunk = queue_.front();
        queue_.pop_front();
      }
      uLongf produced = 0;
      std::string fault = inflate_chunk(chunk->data.data(), static_cast<std::uint32_t>(chunk->data.size()),
                                        out.data(), &produced);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        chunk->fault = std::move(fault);
        chunk->produced = produced;
        chunk->done = true;
      }
      finished_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_workers_, finished_;
  std::deque<Chunk*> queue_;
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

PayloadFault test_payload(unsigned jobs, std::uint32_t* chunks, std::uint64_t* inflated) {
  if (jobs == 0) jobs = std::thread::hardware_concurrency();
  if (jobs <= 1) return test_on_one_thread(chunks, inflated);

  // Enough chunks in flight to keep every worker busy while the oldest is waited for;
  // each holds at most one compressed chunk (64 KiB).
  const std::size_t window = 4 * static_cast<std::size_t>(jobs);
  std::deque<Chunk> flight;  // deque: the workers' pointers stay valid as it grows
  Pool pool(jobs);
  std::uint64_t tested = 0;
  PayloadFault fault;

  // Takes back the oldest chunk; false once a fault has been found there.
  auto retire = [&]() {
    Chunk& oldest = flight.front();
    pool.wait(&oldest);
    if (!oldest.fault.empty()) {
      fault = {oldest.entry, "chunk " + std::to_string(oldest.number) + ": " + oldest.fault};
      return false;
    }
    ++*chunks;
    *inflated += oldest.produced;
    tested += format::chunk_header_size + oldest.data.size();
    progress_update(tested, oldest.entry);
    flight.pop_front();
    return true;
  };

  bool stopped = false;
  for (std::uint32_t i = 0; i < archive.entry_count && !stopped; ++i) {
    std::uint32_t remaining = archive.entries[i].stored_size;
    for (std::uint32_t number = 1;; ++number) {
      while (flight.size() >= window) {
        if (!retire()) break;
      }
      if (!fault.text.empty()) {
        stopped = true;
        break;
      }
      Chunk chunk;
      chunk.entry = i;
      chunk.number = number;
      if (!read_chunk(&remaining, &chunk)) break;
      const bool framing_fault = !chunk.fault.empty();
      if (framing_fault) chunk.done = true;  // nothing for a worker to do
      flight.push_back(std::move(chunk));
      if (framing_fault) {
        stopped = true;  // the chunks before it may still hold an earlier fault
        break;
      }
      pool.submit(&flight.back());
    }
  }
  while (fault.text.empty() && !flight.empty()) retire();
  // The pool's destructor lets the workers finish what they hold before flight goes.
  return fault;
}

}  // namespace kelvra::pack
