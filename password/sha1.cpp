// SHA-1 (FIPS 180-1), small and dependency-free, for the password gate: init, update
// with any number of bytes, final that writes the digest and wipes the context.
#include <cstring>

#include "password/password.h"

namespace kelvra {

namespace {

std::uint32_t rotate_left(std::uint32_t value, int bits) {
  return (value << bits) | (value >> (32 - bits));
}

std::uint32_t read_big_endian(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

void write_big_endian(std::uint8_t* p, std::uint32_t value) {
  p[0] = static_cast<std::uint8_t>(value >> 24);
  p[1] = static_cast<std::uint8_t>(value >> 16);
  p[2] = static_cast<std::uint8_t>(value >> 8);
  p[3] = static_cast<std::uint8_t>(value);
}

void compress(std::uint32_t state[5], const std::uint8_t* block) {
  std::uint32_t w[80];
  for (int i = 0; i < 16; ++i) w[i] = read_big_endian(block + 4 * i);
  for (int i = 16; i < 80; ++i) w[i] = rotate_left(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  for (int i = 0; i < 80; ++i) {
    std::uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    const std::uint32_t t = rotate_left(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = rotate_left(b, 30);
    b = a;
    a = t;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
}

// Bytes already waiting in the block buffer, told by the bit count.
std::size_t pending_bytes(const Sha1Context* context) { return (context->count[0] >> 3) & 63; }

}  // namespace

void sha1_init(Sha1Context* context) {
  context->state[0] = 0x67452301;
  context->state[1] = 0xEFCDAB89;
  context->state[2] = 0x98BADCFE;
  context->state[3] = 0x10325476;
  context->state[4] = 0xC3D2E1F0;
  context->count[0] = 0;
  context->count[1] = 0;
  std::memset(context->block, 0, sizeof context->block);
}

void sha1_update(Sha1Context* context, const void* bytes, std::size_t count) {
  const std::uint8_t* input = static_cast<const std::uint8_t*>(bytes);
  std::size_t pending = pending_bytes(context);

  // The bit count is 64 bits in two halves; count * 8 may pass 32 bits on its own.
  const std::uint64_t bits = static_cast<std::uint64_t>(count) << 3;
  const std::uint32_t old_low = context->count[0];
  context->count[0] += static_cast<std::uint32_t>(bits);
  context->count[1] += static_cast<std::uint32_t>(bits >> 32) + (context->count[0] < old_low ? 1 : 0);

  if (pending > 0) {
    const std::size_t room = 64 - pending;
    if (count < room) {
      std::memcpy(context->block + pending, input, count);
      return;
    }
    std::memcpy(context->block + pending, input, room);
    compress(context->state, context->block);
    input += room;
    count -= room;
  }
  // Whole blocks straight from the input, without copying.
  for (; count >= 64; input += 64, count -= 64) compress(context->state, input);
  if (count > 0) std::memcpy(context->block, input, count);
}

void sha1_final(std::uint8_t* digest, Sha1Context* context) {
  std::uint8_t length[8];
  write_big_endian(length, context->count[1]);
  write_big_endian(length + 4, context->count[0]);

  // One 0x80, zeros up to 56 bytes past a block boundary, then the bit length.
  static const std::uint8_t padding[64] = {0x80};
  const std::size_t pending = pending_bytes(context);
  sha1_update(context, padding, pending < 56 ? 56 - pending : 120 - pending);
  sha1_update(context, length, 8);

  for (int i = 0; i < 5; ++i) write_big_endian(digest + 4 * i, context->state[i]);

  // The context held the password's bytes and state: nothing of it stays behind.
  volatile std::uint8_t* wipe = reinterpret_cast<volatile std::uint8_t*>(context);
  for (std::size_t i = 0; i < sizeof *context; ++i) wipe[i] = 0;
}

}  // namespace kelvra
