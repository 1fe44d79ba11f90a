// The main window's layout at 96 DPI, in pixels relative to its client area (the
// window's own size is its outer size), and the one rule that turns it into the pixels
// of another DPI. Plain C++ so that the rule and the layout can be checked natively.
#pragma once

namespace kelvra::layout {

struct Box {
  short x, y, width, height;
};

constexpr int base_dpi = 96;

constexpr int window_width = 390;
constexpr int window_height = 200;
constexpr Box message_box = {40, 5, 340, 65};
constexpr Box button_box = {155, 105, 70, 30};
// The directory and the password rows take the same place.
constexpr Box row_label_box = {10, 77, 70, 20};
constexpr Box row_field_box = {90, 75, 270, 20};
constexpr int banner_y = 138;
constexpr int link_y = 153;
constexpr int icon_x = 5;
constexpr int icon_y = 5;
constexpr int icon_size = 32;
constexpr int font_height = 15;

// Rounds halves up, so 96 DPI gives every position back unchanged and 192 doubles it
// exactly. Every position goes through this one rule, edges included: a length is the
// distance between its two scaled edges, so boxes that meet at 96 DPI (the banner's
// line and the link's) meet at every DPI rather than overlap by a rounding.
constexpr int scale(int pixels, int dpi) { return (pixels * dpi + base_dpi / 2) / base_dpi; }
constexpr int scale_length(int start, int length, int dpi) {
  return scale(start + length, dpi) - scale(start, dpi);
}

}  // namespace kelvra::layout
