// The extraction chunk loop on its own, with nothing of the packer around it: the
// CRC-32 pass over an archive in 10,000-byte reads, then every chunk inflated, timed
// per variant, so that the cost the real extractor adds on top can be measured.
//
// usage: kelvra-chunkloop [--repeat N] [--write DIR] ARCHIVE...
// Prints one JSON object: per variant the median, min and max wall seconds over N runs
// and the median CPU seconds.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/format.h"

#ifdef KELVRA_BENCH_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace {

namespace fmt = kelvra::format;

struct Layout {
  std::string path;
  std::uint64_t file_size = 0;
  std::uint64_t payload_start = 0;
  std::uint64_t covered = 0;  // payload + directory + first eight trailer bytes
  std::uint32_t checksum = 0;
  std::vector<std::uint32_t> stored_sizes;
};

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "kelvra-chunkloop: %s\n", what.c_str());
  std::exit(2);
}

bool read_exact(int fd, std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    ssize_t got = ::read(fd, p, n);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

bool pread_exact(int fd, std::uint8_t* p, std::size_t n, std::uint64_t at) {
  while (n > 0) {
    ssize_t got = ::pread(fd, p, n, static_cast<off_t>(at));
    if (got <= 0) return false;
    p += got;
    at += static_cast<std::uint64_t>(got);
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

Layout read_layout(const std::string& path) {
  Layout l;
  l.path = path;
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) die("cannot open " + path);
  struct stat st;
  if (::fstat(fd, &st) != 0) die("cannot stat " + path);
  l.file_size = static_cast<std::uint64_t>(st.st_size);
  std::uint8_t trailer[fmt::trailer_size];
  if (l.file_size < fmt::trailer_size ||
      !pread_exact(fd, trailer, sizeof trailer, l.file_size - fmt::trailer_size))
    die(path + ": too short");
  std::uint32_t directory_size = fmt::read_u32(trailer);
  std::uint32_t entry_count = fmt::read_u32(trailer + 4);
  l.checksum = fmt::read_u32(trailer + 8);
  if (directory_size + std::uint64_t{fmt::trailer_size} > l.file_size)
    die(path + ": directory larger than the file");
  std::vector<std::uint8_t> dir(directory_size);
  std::uint64_t dir_start = l.file_size - fmt::trailer_size - directory_size;
  if (!pread_exact(fd, dir.data(), dir.size(), dir_start)) die(path + ": cannot read directory");
  ::close(fd);

  std::size_t at = 0;
  std::uint64_t payload = 0;
  for (std::uint32_t i = 0; i < entry_count; ++i) {
    if (at + 1 > dir.size()) die(path + ": directory cut short");
    std::size_t record = fmt::record_fixed_size + dir[at];
    if (at + record > dir.size()) die(path + ": directory cut short");
    std::uint32_t stored = fmt::read_u32(&dir[at + 1 + dir[at]]);
    l.stored_sizes.push_back(stored);
    payload += stored;
    at += record;
  }
  if (payload + directory_size + fmt::trailer_size > l.file_size) die(path + ": payload too large");
  l.payload_start = l.file_size - fmt::trailer_size - directory_size - payload;
  l.covered = payload + directory_size + 8;
  return l;
}

// Wall and CPU time together: on a shared machine the CPU time is the steadier of the two.
struct Stamp {
  double wall, cpu;
};

Stamp now() {
  struct rusage ru;
  ::getrusage(RUSAGE_SELF, &ru);
  double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
               static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  return {std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(),
          cpu};
}

// The integrity pass as the reader does it: reads of 10,000 bytes, each folded in.
void crc_pass(const Layout& l, std::vector<std::uint8_t>& buf) {
  int fd = ::open(l.path.c_str(), O_RDONLY);
  if (fd < 0) die("cannot open " + l.path);
  ::lseek(fd, static_cast<off_t>(l.payload_start), SEEK_SET);
  uLong crc = crc32(0L, Z_NULL, 0);
  std::uint64_t left = l.covered;
  while (left > 0) {
    ssize_t got = ::read(fd, buf.data(), fmt::checksum_read_size);
    if (got <= 0) die(l.path + ": short read in the checksum pass");
    std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left, got));
    crc = crc32(crc, buf.data(), static_cast<uInt>(take));
    left -= take;
  }
  ::close(fd);
  if (crc != l.checksum) die(l.path + ": checksum mismatch");
}

// Reads the payload through a large user-space buffer, so a chunk costs no system
// call of its own.
struct BufferedReader {
  int fd = -1;
  std::vector<std::uint8_t> buf = std::vector<std::uint8_t>(1 << 18);
  std::size_t pos = 0, end = 0;
  bool take(std::uint8_t* out, std::size_t n) {
    while (n > 0) {
      if (pos == end) {
        ssize_t got = ::read(fd, buf.data(), buf.size());
        if (got <= 0) return false;
        pos = 0;
        end = static_cast<std::size_t>(got);
      }
      std::size_t k = std::min(n, end - pos);
      std::memcpy(out, &buf[pos], k);
      out += k;
      pos += k;
      n -= k;
    }
    return true;
  }
};

enum class Variant {
  reset_buffered,       // one z_stream, inflateReset per chunk, buffered reads
  uncompress_direct,    // two reads per chunk, uncompress per chunk (the plain loop)
  raw_buffered,         // as reset_buffered, but raw deflate: the Adler-32 is not checked
  libdeflate_buffered,  // libdeflate's whole-buffer zlib decoder, buffered reads
};

struct Counts {
  std::uint64_t chunks = 0, in_bytes = 0, out_bytes = 0;
};

int open_output(const char* dir, std::size_t index) {
  if (dir == nullptr) return -1;
  char name[4096];
  std::snprintf(name, sizeof name, "%s/e%06zu", dir, index);
  int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) die(std::string("cannot create ") + name);
  return fd;
}

void remove_outputs(const char* dir, std::size_t count) {
  char name[4096];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(name, sizeof name, "%s/e%06zu", dir, i);
    ::unlink(name);
  }
  ::sync();
}

void write_all(int fd, const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    ssize_t put = ::write(fd, p, n);
    if (put <= 0) die("write failed");
    p += put;
    n -= static_cast<std::size_t>(put);
  }
}

Counts inflate_pass(const Layout& l, Variant v, const char* out_dir, std::size_t& file_index,
                    std::vector<std::uint8_t>& in, std::vector<std::uint8_t>& out) {
  Counts c;
  int fd = ::open(l.path.c_str(), O_RDONLY);
  if (fd < 0) die("cannot open " + l.path);
  ::lseek(fd, static_cast<off_t>(l.payload_start), SEEK_SET);
  BufferedReader reader;
  reader.fd = fd;
  const bool buffered = v != Variant::uncompress_direct;
  z_stream zs;
  std::memset(&zs, 0, sizeof zs);
  if (v == Variant::reset_buffered && inflateInit(&zs) != Z_OK) die("inflateInit failed");
  if (v == Variant::raw_buffered && inflateInit2(&zs, -MAX_WBITS) != Z_OK) die("inflateInit2 failed");
#ifdef KELVRA_BENCH_LIBDEFLATE
  libdeflate_decompressor* dec = nullptr;
  if (v == Variant::libdeflate_buffered && (dec = libdeflate_alloc_decompressor()) == nullptr)
    die("libdeflate_alloc_decompressor failed");
#endif

  for (std::uint32_t stored : l.stored_sizes) {
    int out_fd = open_output(out_dir, file_index++);
    std::uint64_t remaining = stored;
    while (remaining > 0) {
      std::uint8_t len_bytes[fmt::chunk_header_size];
      bool ok = buffered ? reader.take(len_bytes, sizeof len_bytes)
                         : read_exact(fd, len_bytes, sizeof len_bytes);
      if (!ok) die(l.path + ": payload cut short");
      std::uint16_t len = fmt::read_u16(len_bytes);
      ok = buffered ? reader.take(in.data(), len) : read_exact(fd, in.data(), len);
      if (!ok || remaining < 2u + len) die(l.path + ": payload cut short");
      remaining -= 2u + len;

      std::size_t produced = 0;
      if (v == Variant::reset_buffered || v == Variant::raw_buffered) {
        // A raw stream starts after the two-byte zlib header and stops before the
        // four-byte Adler-32.
        const std::size_t skip = v == Variant::raw_buffered ? 2 : 0;
        const std::size_t trim = v == Variant::raw_buffered ? 6 : 0;
        if (len < trim) die(l.path + ": chunk too short");
        if (inflateReset(&zs) != Z_OK) die("inflateReset failed");
        zs.next_in = in.data() + skip;
        zs.avail_in = static_cast<uInt>(len - trim);
        zs.next_out = out.data();
        zs.avail_out = fmt::max_inflated_chunk;
        if (inflate(&zs, Z_FINISH) != Z_STREAM_END) die(l.path + ": chunk does not inflate");
        produced = fmt::max_inflated_chunk - zs.avail_out;
      } else if (v == Variant::libdeflate_buffered) {
#ifdef KELVRA_BENCH_LIBDEFLATE
        if (libdeflate_zlib_decompress(dec, in.data(), len, out.data(), fmt::max_inflated_chunk,
                                       &produced) != LIBDEFLATE_SUCCESS)
          die(l.path + ": chunk does not inflate");
#endif
      } else {
        uLongf dest_len = fmt::max_inflated_chunk;
        if (uncompress(out.data(), &dest_len, in.data(), len) != Z_OK)
          die(l.path + ": chunk does not inflate");
        produced = dest_len;
      }
      if (out_fd >= 0) write_all(out_fd, out.data(), produced);
      ++c.chunks;
      c.in_bytes += 2u + len;
      c.out_bytes += produced;
    }
    if (out_fd >= 0) ::close(out_fd);
  }
  if (v == Variant::reset_buffered || v == Variant::raw_buffered) inflateEnd(&zs);
#ifdef KELVRA_BENCH_LIBDEFLATE
  if (dec != nullptr) libdeflate_free_decompressor(dec);
#endif
  ::close(fd);
  return c;
}

struct Series {
  const char* name;
  std::vector<double> seconds, cpu;
  void add(const Stamp& from, const Stamp& to) {
    seconds.push_back(to.wall - from.wall);
    cpu.push_back(to.cpu - from.cpu);
  }
};

double median_of(std::vector<double> t) {
  std::sort(t.begin(), t.end());
  return t.size() % 2 ? t[t.size() / 2] : (t[t.size() / 2 - 1] + t[t.size() / 2]) / 2;
}

void print_series(const Series& s, double megabytes, bool last) {
  double median = median_of(s.seconds);
  std::printf(
      "  \"%s\": {\"median_s\": %.6f, \"min_s\": %.6f, \"max_s\": %.6f, "
      "\"cpu_s\": %.6f, \"mb_per_s\": %.1f}%s\n",
      s.name, median, *std::min_element(s.seconds.begin(), s.seconds.end()),
      *std::max_element(s.seconds.begin(), s.seconds.end()), median_of(s.cpu),
      median > 0 ? megabytes / median : 0.0, last ? "" : ",");
}

}  // namespace

int main(int argc, char** argv) {
  int repeat = 5;
  const char* write_dir = nullptr;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--repeat" && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--write" && i + 1 < argc) {
      write_dir = argv[++i];
    } else if (!a.empty() && a[0] == '-') {
      die("usage: kelvra-chunkloop [--repeat N] [--write DIR] ARCHIVE...");
    } else {
      paths.push_back(a);
    }
  }
  if (paths.empty()) die("usage: kelvra-chunkloop [--repeat N] [--write DIR] ARCHIVE...");

  std::vector<Layout> layouts;
  std::uint64_t covered = 0;
  for (const auto& p : paths) {
    layouts.push_back(read_layout(p));
    covered += layouts.back().covered;
  }
  std::vector<std::uint8_t> in(fmt::max_chunk_length), out(fmt::max_inflated_chunk);

  Series crc{"crc", {}, {}}, reset{"inflate_reset", {}, {}}, plain{"inflate_uncompress", {}, {}},
      raw{"inflate_raw", {}, {}}, lib{"libdeflate", {}, {}}, reset_w{"inflate_reset_write", {}, {}},
      plain_w{"inflate_uncompress_write", {}, {}};
#ifdef KELVRA_BENCH_LIBDEFLATE
  const bool have_libdeflate = true;
#else
  const bool have_libdeflate = false;
#endif
  Counts counts;
  // One pass of a variant over every archive; with a directory, into fresh files that
  // are flushed and removed outside the timed part, like an extraction into an empty
  // directory.
  auto timed = [&](Series& series, Variant v, const char* dir, bool count) {
    std::size_t index = 0;
    Counts c;
    Stamp from = now();
    for (const auto& l : layouts) {
      Counts one = inflate_pass(l, v, dir, index, in, out);
      c.chunks += one.chunks;
      c.in_bytes += one.in_bytes;
      c.out_bytes += one.out_bytes;
    }
    Stamp to = now();
    if (dir != nullptr) remove_outputs(dir, index);
    if (count) counts = c;
    series.add(from, to);
  };
  // One untimed round first, so every timed round reads from the page cache.
  for (int round = 0; round <= repeat; ++round) {
    Stamp t0 = now();
    for (const auto& l : layouts) crc_pass(l, in);
    crc.add(t0, now());
    timed(reset, Variant::reset_buffered, nullptr, round == 0);
    timed(plain, Variant::uncompress_direct, nullptr, false);
    timed(raw, Variant::raw_buffered, nullptr, false);
    if (have_libdeflate) timed(lib, Variant::libdeflate_buffered, nullptr, false);
    if (write_dir != nullptr) {
      timed(reset_w, Variant::reset_buffered, write_dir, false);
      timed(plain_w, Variant::uncompress_direct, write_dir, false);
    }
    if (round == 0) {
      for (Series* series : {&crc, &reset, &plain, &raw, &lib, &reset_w, &plain_w}) {
        series->seconds.clear();
        series->cpu.clear();
      }
    }
  }

  const double mb = 1024.0 * 1024.0;
  std::printf(
      "{\n  \"archives\": %zu, \"covered_bytes\": %llu, \"chunks\": %llu, "
      "\"chunk_bytes\": %llu, \"output_bytes\": %llu, \"repeat\": %d,\n",
      layouts.size(), static_cast<unsigned long long>(covered),
      static_cast<unsigned long long>(counts.chunks),
      static_cast<unsigned long long>(counts.in_bytes),
      static_cast<unsigned long long>(counts.out_bytes), repeat);
  // Throughput: the checksum pass per archive byte, the inflate passes per output byte.
  print_series(crc, covered / mb, false);
  print_series(reset, counts.out_bytes / mb, false);
  print_series(raw, counts.out_bytes / mb, false);
  if (have_libdeflate) print_series(lib, counts.out_bytes / mb, false);
  print_series(plain, counts.out_bytes / mb, write_dir == nullptr);
  if (write_dir != nullptr) {
    print_series(reset_w, counts.out_bytes / mb, false);
    print_series(plain_w, counts.out_bytes / mb, true);
  }
  std::printf("}\n");
  return 0;
}
