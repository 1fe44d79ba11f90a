// The window's layout scaled by DPI: 96 gives it back unchanged, whole multiples are
// exact, and at every scale Windows offers the controls keep their order and never
// overlap, so a rounding that drifts one box into the next is caught here (scaling
// lengths on their own put the banner's line one pixel into the link's at 120 DPI).
#include <gtest/gtest.h>

#include <cstdlib>

#include "ui/layout.h"

namespace kelvra::layout {
namespace {

// Windows' scale steps, 100% to 500%, and two in between that no setting gives.
const int dpis[] = {96, 120, 144, 168, 192, 216, 240, 288, 336, 384, 432, 480, 97, 131};

// As the stub places its controls.
Box scaled(Box box, int dpi) {
  return {static_cast<short>(scale(box.x, dpi)), static_cast<short>(scale(box.y, dpi)),
          static_cast<short>(scale_length(box.x, box.width, dpi)),
          static_cast<short>(scale_length(box.y, box.height, dpi))};
}

int right(Box box) { return box.x + box.width; }
int bottom(Box box) { return box.y + box.height; }

TEST(Layout, TheRuleRoundsHalvesUpAndKeepsWholeScalesExact) {
  struct Case {
    const char* name;
    int pixels, dpi, want;
  } cases[] = {
      {"96 is the base", 15, 96, 15},
      {"96, the window's width", 390, 96, 390},
      {"150%, a half rounds up", 15, 144, 23},
      {"150%, even", 390, 144, 585},
      {"200%", 15, 192, 30},
      {"125%, below a half", 5, 120, 6},
      {"125%, a half", 10, 120, 13},
      {"175%, the icon", 32, 168, 56},
      {"zero stays zero", 0, 480, 0},
      {"500%", 200, 480, 1000},
  };
  for (const Case& c : cases) EXPECT_EQ(c.want, scale(c.pixels, c.dpi)) << c.name;
}

TEST(Layout, ControlsKeepTheirOrderAndNeverOverlapAtAnyScale) {
  for (int dpi : dpis) {
    SCOPED_TRACE(dpi);
    const Box message = scaled(message_box, dpi), button = scaled(button_box, dpi);
    const Box label = scaled(row_label_box, dpi), field = scaled(row_field_box, dpi);
    const int icon_right = scale(icon_x, dpi) + scale(icon_size, dpi);
    EXPECT_LE(icon_right, message.x) << "the icon runs into the message";
    EXPECT_LE(bottom(message), field.y) << "the message runs into the row";
    EXPECT_LE(right(label), field.x) << "the label runs into the field";
    EXPECT_LE(bottom(field), button.y) << "the row runs into the button";
    EXPECT_LE(bottom(label), button.y);
    EXPECT_LE(bottom(button), scale(banner_y, dpi)) << "the button runs into the banner";
    const int font = scale_length(banner_y, font_height, dpi);
    EXPECT_LE(scale(banner_y, dpi) + font, scale(link_y, dpi)) << "banner over link";
    EXPECT_LE(std::abs(font - font_height * dpi / 96), 1) << "the fonts don't grow in step";
    // Everything stays inside the window's own outer size.
    EXPECT_LE(right(message), scale(window_width, dpi));
    EXPECT_LE(right(field), scale(window_width, dpi));
    EXPECT_LE(scale(link_y, dpi) + font, scale(window_height, dpi));
  }
}

}  // namespace
}  // namespace kelvra::layout
