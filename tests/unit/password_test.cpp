// Our SHA-1 against the published vectors (a short one, one whose padding takes a second
// block, a long one), and the password gate against digests as the reader stores them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive_builder.h"
#include "password/password.h"

namespace kelvra {
namespace {

// The digest of message; every digest also checks that the context was wiped.
std::string digest_of(const std::string& message) {
  std::uint8_t digest[sha1_digest_size];
  Sha1Context context;
  sha1_init(&context);
  sha1_update(&context, message.data(), message.size());
  sha1_final(digest, &context);
  const auto* left = reinterpret_cast<const std::uint8_t*>(&context);
  EXPECT_TRUE(std::all_of(left, left + sizeof context, [](std::uint8_t b) { return b == 0; })) << "a context left";
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

TEST(Sha1, PublishedVectors) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const auto& [message, hex] : vectors) {
    std::string got;
    const char* digits = "0123456789abcdef";
    for (const unsigned char byte : digest_of(message)) got += {digits[byte >> 4], digits[byte & 15]};
    EXPECT_EQ(got, hex) << message.size() << " bytes";
  }
}

// Passwords "pw0", "pw1", ... until one's digest satisfies want.
template <typename Want>
std::string find_password(Want want) {
  for (int i = 0;; ++i) {
    if (want(digest_of("pw" + std::to_string(i)))) return "pw" + std::to_string(i);
  }
}

// The gate as the stub meets it: the digest as the reader stored it from the archive.
TEST(PasswordGate, OpensForTheStoredPasswordOnly) {
  const std::string plain = find_password([](const std::string& d) { return d.find('\0') == std::string::npos; });
  const std::string typed = std::string(70, 'x') + "0123456789abcdefghij";  // 90 characters
  // Two passwords whose digests agree in byte 0 and both have a zero in byte 1: stored,
  // they are the same one-byte digest.
  const std::string first = find_password([](const std::string& d) { return d[0] != 0 && d[1] == 0; });
  const std::string lead = digest_of(first).substr(0, 2);
  const std::string second =
      find_password([&](const std::string& d) { return d.substr(0, 2) == lead && d != digest_of(first); });
  const std::string other = find_password([&](const std::string& d) { return d[0] != digest_of(first)[0]; });
  const struct {
    const char* what;
    std::string stored, typed;  // the password whose digest is stored; what is typed
    bool opens;
  } cases[] = {
      {"the password", plain, plain, true},
      {"a blank more", plain, plain + " ", false},
      {"nothing typed", plain, "", false},
      {"the empty password", "", "", true},
      {"only the first 79 characters count", typed.substr(0, 79), typed.substr(0, 79) + "other tail", true},
      {"78 are too few", typed.substr(0, 79), typed.substr(0, 78), false},
      {"the 80th does not count", typed.substr(0, 80), typed, false},
      {"a digest cut by a zero byte", first, first, true},
      {"the same byte before the zero", first, second, true},
      {"another byte before the zero", first, other, false},
      // A digest whose first byte is zero stores no password at all.
      {"a digest that starts with a zero", find_password([](const std::string& d) { return d[0] == 0; }), "", false},
  };
  test::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<std::string> strings = {"", "", "", "", "", digest_of(c.stored)};
    ASSERT_TRUE(test::write_file(dir.file("setup.exe"), {}, test::build_archive({{"a.txt", "abc"}}, strings)));
    ASSERT_EQ(open_archive(dir.file("setup.exe").c_str()), 0);
    EXPECT_EQ(has_password(), strings[5][0] != '\0');
    EXPECT_EQ(password_matches(c.typed.c_str()), c.opens);
    close_archive();
  }
}

}  // namespace
}  // namespace kelvra
