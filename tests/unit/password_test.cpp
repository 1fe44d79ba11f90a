// Our SHA-1 against the published vectors however the input is split, and the
// password gate against stored digests, including ones cut short by a zero byte.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive_builder.h"
#include "password/password.h"

namespace kelvra {
namespace {

// The digest of message given to sha1_update in pieces of these sizes, then the rest.
std::string digest_of(const std::string& message, const std::vector<std::size_t>& pieces = {}) {
  std::uint8_t digest[sha1_digest_size];
  Sha1Context context;
  sha1_init(&context);
  std::size_t at = 0;
  for (std::size_t piece : pieces) {
    sha1_update(&context, message.data() + at, piece);
    at += piece;
  }
  sha1_update(&context, message.data() + at, message.size() - at);
  sha1_final(digest, &context);
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

std::string hex_digest(const std::string& message) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (const unsigned char byte : digest_of(message)) hex += {digits[byte >> 4], digits[byte & 15]};
  return hex;
}

TEST(Sha1, PublishedVectors) {
  EXPECT_EQ(hex_digest(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(hex_digest("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(hex_digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(hex_digest(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Sha1, SplittingTheInputNeverChangesTheDigest) {
  std::mt19937 random(1);
  std::string message(200, '\0');
  for (char& c : message) c = static_cast<char>(random());

  // Every length around one and two block boundaries, cut at every point, and fed
  // one byte at a time.
  for (std::size_t length = 0; length <= message.size(); ++length) {
    const std::string part = message.substr(0, length);
    const std::string whole = digest_of(part);
    for (std::size_t cut = 0; cut <= length; ++cut) {
      ASSERT_EQ(digest_of(part, {cut}), whole) << "length " << length << " cut " << cut;
    }
    ASSERT_EQ(digest_of(part, std::vector<std::size_t>(length, 1)), whole) << length;
  }
}

TEST(Sha1, FinalWipesTheContext) {
  Sha1Context context;
  sha1_init(&context);
  sha1_update(&context, "secret password", 15);
  std::uint8_t digest[sha1_digest_size];
  sha1_final(digest, &context);
  const std::uint8_t* bytes = reinterpret_cast<const std::uint8_t*>(&context);
  for (std::size_t i = 0; i < sizeof context; ++i) ASSERT_EQ(bytes[i], 0) << i;
}

// The gate reads the opened archive's digest buffer; each test sets its own.
class PasswordGate : public ::testing::Test {
 protected:
  void SetUp() override {
    close_archive();
    archive.password_digest = stored;
  }
  void TearDown() override { archive.password_digest = nullptr; }

  // Stores digest as the reader would: a zero-terminated string in 24 bytes.
  void store(const std::string& digest) {
    std::memset(stored, 0, sizeof stored);
    std::strncpy(stored, digest.c_str(), sizeof stored - 1);
  }

  char stored[24];
};

// Passwords "pw0", "pw1", ... until one's digest satisfies want.
template <typename Want>
std::string find_password(Want want) {
  for (int i = 0;; ++i) {
    const std::string password = "pw" + std::to_string(i);
    if (want(digest_of(password))) return password;
  }
}

TEST_F(PasswordGate, EmptyPasswordIsTheEmptyMessage) {
  store(digest_of(""));
  EXPECT_TRUE(password_matches(""));
  EXPECT_FALSE(password_matches(" "));
}

TEST_F(PasswordGate, OnlyTheFirst79CharactersCount) {
  const std::string typed = std::string(70, 'x') + "0123456789abcdefghij";  // 90 characters
  store(digest_of(typed.substr(0, 79)));
  ASSERT_EQ(std::strlen(stored), 20u) << "pick another text: this digest holds a zero byte";
  EXPECT_TRUE(password_matches((typed.substr(0, 79) + "different tail").c_str()));
  EXPECT_FALSE(password_matches(typed.substr(0, 78).c_str()));
  store(digest_of(typed.substr(0, 80)));
  EXPECT_FALSE(password_matches(typed.c_str()));
}

TEST_F(PasswordGate, DigestWithAZeroByteIsComparedUpToIt) {
  // Two passwords whose digests agree in byte 0 and both have a zero in byte 1: as
  // strings they are the same one-byte digest, so either opens the archive; a third
  // whose digest differs before its zero does not.
  std::map<char, std::string> by_first_byte;
  std::string first, second;
  for (int i = 0; second.empty(); ++i) {
    const std::string password = "pw" + std::to_string(i);
    const std::string digest = digest_of(password);
    if (digest[0] == 0 || digest[1] != 0) continue;
    auto found = by_first_byte.find(digest[0]);
    if (found == by_first_byte.end()) {
      by_first_byte[digest[0]] = password;
    } else {
      first = found->second;
      second = password;
    }
  }
  store(digest_of(first));
  ASSERT_EQ(std::strlen(stored), 1u);
  EXPECT_TRUE(password_matches(first.c_str()));
  EXPECT_TRUE(password_matches(second.c_str()));
  const std::string other = find_password([&](const std::string& d) { return d[0] != digest_of(first)[0]; });
  EXPECT_FALSE(password_matches(other.c_str()));
}

// The gate as the stub meets it: the digest as the reader stored it from the archive.
class PasswordArchive : public ::testing::Test {
 protected:
  void TearDown() override { close_archive(); }
  void open_with_digest(const std::string& digest) {
    ASSERT_TRUE(test::write_file(dir.file("setup.exe"), {},
                                 test::build_archive({{"a.txt", "abc"}}, {"", "", "", "", "", digest})));
    ASSERT_EQ(open_archive(dir.file("setup.exe").c_str()), 0);
  }
  test::TempDir dir;
};

TEST_F(PasswordArchive, AcceptsExactlyTheStoredPasswordAndNoneForALeadingZero) {
  const std::string password = find_password([](const std::string& d) { return d.find('\0') == std::string::npos; });
  open_with_digest(digest_of(password));
  EXPECT_TRUE(has_password());
  EXPECT_TRUE(password_matches(password.c_str()));
  EXPECT_FALSE(password_matches((password + " ").c_str()));
  EXPECT_FALSE(password_matches(""));
  close_archive();
  open_with_digest(digest_of(find_password([](const std::string& d) { return d[0] == 0; })));
  EXPECT_FALSE(has_password());
}

}  // namespace
}  // namespace kelvra
