// compress_piece keeps one deflate stream per thread and resets it for each piece: it
// writes what a fresh stream writes, whatever came before on the thread.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <thread>
#include <vector>

#include "archive/writer.h"
#include "tests/unit/archive_builder.h"

namespace kelvra::writer {
namespace {

TEST(CompressPiece, SameBytesAsAFreshStreamWhateverCameBefore) {
  // Level changes, a piece after a larger one, the empty piece, and back again.
  const std::pair<int, std::size_t> steps[] = {{9, 10000}, {9, 300}, {1, 10000}, {9, 7777}, {6, 0}, {6, 10000}, {6, 1}, {3, 4096}, {9, 10000}};
  auto run = [&](unsigned seed) {
    for (const auto& [level, size] : steps) {
      // Text of few letters, which a reused stream's leftovers would change.
      std::string data = test::noise(size, seed++);
      for (char& c : data) c = static_cast<char>('a' + (c & 7));
      uLongf length = compressBound(static_cast<uLong>(size));
      std::vector<std::uint8_t> fresh(length);
      const auto* bytes = reinterpret_cast<const Bytef*>(data.data());
      ASSERT_EQ(compress2(fresh.data(), &length, bytes, static_cast<uLong>(size), level), Z_OK);
      fresh.resize(length);
      const std::vector<std::uint8_t> got = compress_piece(bytes, size, level);
      EXPECT_EQ(got, fresh) << "level " << level << ", " << size << " bytes";
    }
  };
  run(1);
  std::thread other([&] {
    run(2);
    release_thread_compressors();
  });
  run(3);
  other.join();
}

// The stronger encoders write no longer streams than level 9's. That they write standard
// zlib streams is FuzzReplay's round_trip inputs at those levels, which extract them.
TEST(CompressPiece, StrongerEncodersWriteNoLongerStreams) {
  const std::string data = test::noise(4000, 3) + std::string(6000, 'q');
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
  for (int level : {level_max, level_ultra}) {
    EXPECT_LE(compress_piece(bytes, data.size(), level).size(), compress_piece(bytes, data.size(), 9).size()) << level;
  }
}

}  // namespace
}  // namespace kelvra::writer
