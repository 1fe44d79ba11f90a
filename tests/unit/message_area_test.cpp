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

class MessageArea : public ::testing::Test {
 protected:
  void SetUp() override { message_area_open(); }
  void TearDown() override { message_area_open(); }
  static std::string current() {
    char buffer[message_area_size];
    read_message(buffer, sizeof buffer);
    return buffer;
  }
  int repaints() const { return platform::testing::repaint_count() - repaints_before; }
  const int repaints_before = platform::testing::repaint_count();
};

TEST_F(MessageArea, ConcurrentTextsAreNeverSeenMixed) {
  const std::string first(message_area_size - 1, 'a'), second(message_area_size - 1, 'b');
  show_message(first.c_str());
  std::atomic<int> writers_done{0};
  auto write_many = [&writers_done](const std::string& text) {
    for (int i = 0; i < 20000; ++i) show_message(text.c_str());
    ++writers_done;
  };
  std::thread one(write_many, first), two(write_many, second);
  std::string mixed;
  // At least one read even when both writers finish before this thread runs.
  do {
    const std::string text = current();
    if (text != first && text != second) mixed = text;
  } while (writers_done.load() < 2);
  one.join();
  two.join();
  EXPECT_EQ(mixed, "");
  EXPECT_EQ(repaints(), 1 + 2 * 20000);
}

TEST_F(MessageArea, LongTextsAreCutToTheArea) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += static_cast<char>('a' + i % 26);
  show_message(text.c_str());
  // Read into more room than the area has, the text still ends where it was cut.
  char large[2 * message_area_size];
  read_message(large, sizeof large);
  EXPECT_EQ(std::string(large), text.substr(0, message_area_size - 1));
  // A shorter text that follows leaves nothing of the longer one behind.
  show_message("0123456789");
  EXPECT_EQ(current(), "0123456789");
  char small[6] = "xxxxx";
  read_message(small, sizeof small);
  EXPECT_STREQ(small, "01234");
  read_message(small, 0);
  EXPECT_STREQ(small, "01234");
}

TEST_F(MessageArea, AClosedAreaDropsTextsAndReadsEmpty) {
  show_message("before");
  message_area_close();
  EXPECT_EQ(current(), "");
  show_message("after");
  EXPECT_EQ(current(), "");
  message_area_open();
  EXPECT_EQ(current(), "");
  show_message("again");
  EXPECT_EQ(current(), "again");
  EXPECT_EQ(repaints(), 2);
}

}  // namespace
}  // namespace kelvra
