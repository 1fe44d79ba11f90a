// The password gate: tells whether the opened archive asks for a password, and whether
// a typed one hashes to the digest it stores. Only the decision is made here; the
// entries' data are not enciphered.
#include <cstring>

#include "archive/archive.h"
#include "password/password.h"

namespace kelvra {

bool has_password() {
  return archive.password_digest != nullptr && archive.password_digest[0] != '\0';
}

bool password_matches(const char* typed) {
  if (archive.password_digest == nullptr) return false;

  std::size_t length = 0;
  while (length < max_password_length && typed[length] != '\0') ++length;

  // Zero-filled past the 20 digest bytes, so the digest always reads as a terminated
  // string, just as the stored one does in its own buffer of the same size.
  std::uint8_t digest[format::digest_buffer_size];
  std::memset(digest, 0, sizeof digest);
  Sha1Context context;
  sha1_init(&context);
  sha1_update(&context, typed, length);
  sha1_final(digest, &context);

  // Both sides compared as zero-terminated strings: a digest holding a zero byte counts
  // only up to it, on both sides alike.
  const std::uint8_t* stored = reinterpret_cast<const std::uint8_t*>(archive.password_digest);
  for (std::size_t i = 0; i < sizeof digest; ++i) {
    if (digest[i] != stored[i]) return false;
    if (digest[i] == 0) return true;
  }
  return true;
}

}  // namespace kelvra
