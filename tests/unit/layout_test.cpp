// The window's layout scaled by DPI: at every scale the controls keep their order and
// never overlap (scaling lengths on their own put the banner one pixel into the link at
// 120 DPI).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "ui/layout.h"

namespace kelvra::layout {
namespace {

TEST(Layout, TheRuleRoundsHalvesUpAndKeepsWholeScalesExact) {
  EXPECT_EQ(scale(390, 96), 390);
  EXPECT_EQ(scale(15, 144), 23);
  EXPECT_EQ(scale(5, 120), 6);
  EXPECT_EQ(scale(15, 192), 30);
}

// As the stub places its controls: right and bottom edges.
int right(Box box, int dpi) { return scale(box.x, dpi) + scale_length(box.x, box.width, dpi); }
int bottom(Box box, int dpi) { return scale(box.y, dpi) + scale_length(box.y, box.height, dpi); }

TEST(Layout, ControlsKeepTheirOrderAndNeverOverlapAtAnyScale) {
  // Windows' scale steps, 100% to 500%, and two in between that no setting gives.
  for (int dpi : {96, 120, 144, 168, 192, 216, 240, 288, 336, 384, 432, 480, 97, 131}) {
    SCOPED_TRACE(dpi);
    const int font = scale_length(banner_y, font_height, dpi);
    EXPECT_LE(scale(icon_x, dpi) + scale(icon_size, dpi), scale(message_box.x, dpi)) << "the icon runs into the message";
    EXPECT_LE(bottom(message_box, dpi), scale(row_field_box.y, dpi)) << "the message runs into the row";
    EXPECT_LE(right(row_label_box, dpi), scale(row_field_box.x, dpi)) << "the label runs into the field";
    const int row_bottom = std::max(bottom(row_field_box, dpi), bottom(row_label_box, dpi));
    EXPECT_LE(row_bottom, scale(button_box.y, dpi)) << "the row runs into the button";
    EXPECT_LE(bottom(button_box, dpi), scale(banner_y, dpi)) << "the button runs into the banner";
    EXPECT_LE(scale(banner_y, dpi) + font, scale(link_y, dpi)) << "the banner runs into the link";
    EXPECT_LE(std::abs(font - font_height * dpi / 96), 1) << "the fonts don't grow in step";
    const int right_edge = std::max(right(message_box, dpi), right(row_field_box, dpi));
    EXPECT_LE(right_edge, scale(window_width, dpi)) << "past the window's side";
    EXPECT_LE(scale(link_y, dpi) + font, scale(window_height, dpi)) << "past the window's foot";
  }
}

}  // namespace
}  // namespace kelvra::layout
