// The message area: texts set from two threads while a third reads are always seen
// whole, long texts are cut to the area, and a closed area keeps nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "output/message_area.h"
#include "platform/posix_testing.h"

namespace kelvra {
namespace {

// Repaints asked of the platform since the test began.
struct {
  int start = 0;
  int load() const { return platform::testing::repaint_count() - start; }
} repaints;

class MessageArea : public ::testing::Test {
 protected:
  void SetUp() override {
    message_area_open();
    repaints.start = platform::testing::repaint_count();
  }
  void TearDown() override { message_area_open(); }

  static std::string current() {
    char buffer[message_area_size];
    read_message(buffer, sizeof buffer);
    return buffer;
  }
};

TEST_F(MessageArea, ConcurrentTextsAreNeverSeenMixed) {
  const std::string first(message_area_size - 1, 'a');
  const std::string second(message_area_size - 1, 'b');
  show_message(first.c_str());

  std::atomic<int> writers_done{0};
  auto write_many = [&writers_done](const std::string& text) {
    for (int i = 0; i < 20000; ++i) show_message(text.c_str());
    ++writers_done;
  };
  std::thread one(write_many, first);
  std::thread two(write_many, second);

  int reads = 0, bad = 0;
  std::string bad_text;
  // At least one read even when both writers finish before this thread runs.
  do {
    const std::string text = current();
    if (text != first && text != second) {
      ++bad;
      bad_text = text;
    }
    ++reads;
  } while (writers_done.load() < 2);
  one.join();
  two.join();
  EXPECT_EQ(bad, 0) << "e.g. " << bad_text;
  EXPECT_GT(reads, 0);
  EXPECT_EQ(repaints.load(), 1 + 2 * 20000);
}

TEST_F(MessageArea, LongTextsAreCutToTheArea) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += static_cast<char>('a' + i % 26);
  show_message(text.c_str());
  EXPECT_EQ(current(), text.substr(0, message_area_size - 1));
  // Read into more room than the area has, the cut text still ends where it was cut.
  char large[2 * message_area_size];
  read_message(large, sizeof large);
  EXPECT_EQ(std::string(large), text.substr(0, message_area_size - 1));

  // A shorter text that follows leaves nothing of the longer one behind.
  show_message("short");
  EXPECT_EQ(current(), "short");

  char small[6] = "xxxxx";
  show_message("0123456789");
  read_message(small, sizeof small);
  EXPECT_STREQ(small, "01234");
  read_message(small, 0);
  EXPECT_STREQ(small, "01234");
}

TEST_F(MessageArea, ClosedAreaDropsTextsAndReadsEmpty) {
  show_message("before");
  message_area_close();
  EXPECT_EQ(current(), "");
  show_message("after");
  EXPECT_EQ(current(), "");
  EXPECT_EQ(repaints.load(), 1);

  message_area_open();
  EXPECT_EQ(current(), "");
  show_message("again");
  EXPECT_EQ(current(), "again");
  EXPECT_EQ(repaints.load(), 2);
}

}  // namespace
}  // namespace kelvra
