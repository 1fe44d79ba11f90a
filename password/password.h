// The password gate: our own SHA-1 and the test of a typed password against the
// digest the archive stores. The data itself is not enciphered.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvra {

struct Sha1Context {
  std::uint32_t state[5];
  std::uint32_t count[2];  // message length in bits: low, high
  std::uint8_t block[64];
};

constexpr std::size_t sha1_digest_size = 20;
constexpr std::size_t max_password_length = 79;

void sha1_init(Sha1Context* context);
void sha1_update(Sha1Context* context, const void* bytes, std::size_t count);
// Writes 20 bytes and wipes the context.
void sha1_final(std::uint8_t* digest, Sha1Context* context);

// True when the opened archive stores a digest (its first byte isn't zero).
bool has_password();
// True when the digest of typed (its first 79 characters) equals the stored one,
// compared as two zero-terminated byte strings.
bool password_matches(const char* typed);

}  // namespace kelvra
