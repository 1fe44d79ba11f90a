// compress_piece keeps one deflate stream per thread and resets it for each piece: what
// it writes must stay byte for byte what a fresh stream writes, whatever came before on
// the thread (other levels, other sizes, other threads).
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <thread>
#include <vector>

#include "archive/writer.h"

namespace kelvra::writer {
namespace {

std::vector<std::uint8_t> fresh_stream(const std::string& data, int level) {
  uLongf length = compressBound(static_cast<uLong>(data.size()));
  std::vector<std::uint8_t> out(length);
  EXPECT_EQ(compress2(out.data(), &length, reinterpret_cast<const Bytef*>(data.data()),
                      static_cast<uLong>(data.size()), level),
            Z_OK);
  out.resize(length);
  return out;
}

// Text with repeats near the end, where a reused stream's leftovers would matter most.
std::string sample(std::size_t size, unsigned seed) {
  std::string out;
  while (out.size() < size) {
    seed = seed * 1103515245u + 12345u;
    out += "line " + std::to_string(seed % 97) + (seed & 0x100 ? " again\n" : " once more\n");
  }
  out.resize(size);
  return out;
}

TEST(CompressPiece, SameBytesAsAFreshStreamWhateverCameBefore) {
  struct Step {
    int level;
    std::size_t size;
  };
  // Level changes, a piece after a larger one, the empty piece, and back again.
  const Step steps[] = {{9, 10000}, {9, 300}, {1, 10000}, {9, 7777}, {6, 0}, {6, 10000}, {6, 1}, {3, 4096}, {9, 10000}};
  auto run = [&](unsigned seed) {
    for (const Step& step : steps) {
      SCOPED_TRACE("level " + std::to_string(step.level) + ", " + std::to_string(step.size) + " bytes");
      const std::string data = sample(step.size, seed++);
      const std::vector<std::uint8_t> got =
          compress_piece(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), step.level);
      EXPECT_EQ(got, fresh_stream(data, step.level));
    }
  };
  run(1);
  std::thread other([&] {
    run(2u);
    release_thread_compressors();
  });
  run(3);
  other.join();
}

}  // namespace
}  // namespace kelvra::writer
