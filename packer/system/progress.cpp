// Progress on standard error. The bar is redrawn at most ten times a second, plain
// lines at most once a second, so neither slows the work nor floods a CI log; both end
// with one line that says how much was done and in what time.
#include "packer/system/progress.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>

#include "packer/packer.h"
#include "packer/system/system.h"

namespace kelvra::pack {

namespace {

using Clock = std::chrono::steady_clock;

enum class ProgressStyle { none,
                           plain,
                           bar };

constexpr double bar_interval = 0.1;    // seconds between redraws of the bar
constexpr double plain_interval = 1.0;  // seconds between plain lines
constexpr double rate_after = 0.25;     // a rate measured over less says little

struct State {
  ProgressStyle style = ProgressStyle::none;
  bool quiet = false;
  const char* action = "";
  std::uint64_t bytes_total = 0, bytes_done = 0;
  std::uint32_t files_total = 0, files_done = 0;
  Clock::time_point started, last_shown;
  bool running = false;
  bool bar_drawn = false;
  int bar_width = 0;  // 0: no room for a bar
};
State state;

double seconds_since(Clock::time_point then) {
  return std::chrono::duration<double>(Clock::now() - then).count();
}

unsigned percent() {
  if (state.bytes_total == 0) return state.files_total == 0 ? 100 : state.files_done * 100 / state.files_total;
  return static_cast<unsigned>(state.bytes_done * 100 / state.bytes_total);
}

const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};

// The unit bytes is best shown in, as an index into units.
std::size_t unit_of(std::uint64_t bytes) {
  std::size_t unit = 0;
  for (double value = static_cast<double>(bytes); value >= 1023.95 && unit + 1 < std::size(units); value /= 1024) {
    ++unit;
  }
  return unit;
}

std::string in_unit(std::uint64_t bytes, std::size_t unit) {
  if (unit == 0) return std::to_string(bytes);
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / static_cast<double>(1ull << (10 * unit)));
  return text;
}

// 1536 -> "1.5 KiB"
std::string human_bytes(std::uint64_t bytes) {
  const std::size_t unit = unit_of(bytes);
  return in_unit(bytes, unit) + " " + units[unit];
}

// 95 seconds -> "1:35"
std::string human_duration(double seconds) {
  const auto whole = static_cast<std::uint64_t>(seconds < 0 ? 0 : seconds + 0.5);
  char text[32];
  if (whole < 3600) {
    std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64, whole / 60, whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, whole / 3600, whole / 60 % 60,
                  whole % 60);
  }
  return text;
}

// "8.1 MiB/s" once there is enough to measure, else empty.
std::string rate_text(double elapsed) {
  if (elapsed < rate_after || state.bytes_done == 0) return {};
  return human_bytes(static_cast<std::uint64_t>(state.bytes_done / elapsed)) + "/s";
}

std::string time_left(double elapsed) {
  if (elapsed < rate_after || state.bytes_done == 0 || state.bytes_done >= state.bytes_total) return {};
  const double rate = state.bytes_done / elapsed;
  return human_duration((state.bytes_total - state.bytes_done) / rate) + " left";
}

// "6.3/28.6 MiB 1/4 files": both byte counts in the total's unit, to stay short.
std::string short_counts(std::uint64_t bytes_done, std::uint32_t files_done) {
  const std::size_t unit = unit_of(state.bytes_total);
  return in_unit(bytes_done, unit) + "/" + in_unit(state.bytes_total, unit) + " " + units[unit] + " " +
         std::to_string(files_done) + "/" + std::to_string(state.files_total) + " files";
}

std::string long_counts() {
  return human_bytes(state.bytes_done) + " of " + human_bytes(state.bytes_total) + "  " +
         std::to_string(state.files_done) + " of " + std::to_string(state.files_total) + " files";
}

int terminal_columns() {
  const char* columns = std::getenv("COLUMNS");
  const int value = columns != nullptr ? std::atoi(columns) : 0;
  return value >= 20 && value <= 1000 ? value : 80;
}

std::string bar_head(unsigned percent) {
  char head[32];
  std::snprintf(head, sizeof head, "%s %3u%% ", state.action, percent);
  return head;
}

// The bar keeps one width through an operation, the width left beside the texts at
// their longest (all done, a four-digit rate, time left below ten minutes).
int bar_width() {
  const int longest = static_cast<int>(bar_head(100).size() + 2 + 1 +
                                       short_counts(state.bytes_total, state.files_total).size() +
                                       std::string(" 1023.9 MiB/s 0:00 left").size());
  const int width = std::min(40, terminal_columns() - 1 - longest);
  return width >= 8 ? width : 0;
}

void draw_bar(bool final) {
  const double elapsed = seconds_since(state.started);
  std::string tail = " " + short_counts(state.bytes_done, state.files_done);
  const std::string rate = rate_text(elapsed);
  if (!rate.empty()) tail += " " + rate;
  const std::string when = final ? "in " + human_duration(elapsed) : time_left(elapsed);
  if (!when.empty()) tail += " " + when;

  std::string line = bar_head(percent());
  if (state.bar_width > 0) {
    const int filled = static_cast<int>(percent()) * state.bar_width / 100;
    line += "[" + std::string(filled, '#') + std::string(state.bar_width - filled, '.') + "]";
  }
  // The line stays one column short of the width, so the cursor never wraps.
  const auto room = static_cast<std::size_t>(terminal_columns() - 1);
  if (line.size() + tail.size() > room) line = bar_head(percent());
  line = (line + tail).substr(0, room);
  std::fprintf(stderr, "\r%s\033[K%s", line.c_str(), final ? "\n" : "");
  std::fflush(stderr);
  state.bar_drawn = !final;
}

void plain_line(bool final) {
  const double elapsed = seconds_since(state.started);
  std::string text = std::string(state.action) + ": " + std::to_string(percent()) + "%  " + long_counts();
  const std::string rate = rate_text(elapsed);
  if (!rate.empty()) text += "  " + rate;
  const std::string when = final ? "in " + human_duration(elapsed) : time_left(elapsed);
  if (!when.empty()) text += "  " + when;
  std::fprintf(stderr, "kelvra-pack: %s\n", text.c_str());
  std::fflush(stderr);
}

}  // namespace

void choose_progress(const std::string& option, bool quiet) {
  state.quiet = quiet;
  if (quiet || option == "none") {
    state.style = ProgressStyle::none;
  } else if (option == "bar") {
    state.style = ProgressStyle::bar;
  } else if (option == "plain") {
    state.style = ProgressStyle::plain;
  } else {
    state.style = stderr_is_terminal() ? ProgressStyle::bar : ProgressStyle::plain;
  }
}

bool quiet() { return state.quiet; }

void progress_start(const char* action, std::uint64_t bytes_total, std::uint32_t files_total) {
  state.action = action;
  state.bytes_total = bytes_total;
  state.files_total = files_total;
  state.bytes_done = 0;
  state.files_done = 0;
  state.started = Clock::now();
  state.last_shown = state.started;
  state.running = true;
  state.bar_drawn = false;
  state.bar_width = bar_width();
}

void progress_update(std::uint64_t bytes_done, std::uint32_t files_done) {
  if (!state.running) return;
  state.bytes_done = bytes_done;
  state.files_done = files_done;
  if (state.style == ProgressStyle::bar) {
    if (state.bar_drawn && seconds_since(state.last_shown) < bar_interval) return;
    draw_bar(false);
  } else if (state.style == ProgressStyle::plain) {
    if (seconds_since(state.last_shown) < plain_interval || state.bytes_done >= state.bytes_total) return;
    plain_line(false);
  } else {
    return;
  }
  state.last_shown = Clock::now();
}

void progress_finish(bool completed) {
  if (!state.running) return;
  state.running = false;
  if (!completed) {
    progress_pause();
  } else if (state.style == ProgressStyle::bar) {
    draw_bar(true);
  } else if (state.style == ProgressStyle::plain) {
    plain_line(true);
  }
}

void progress_pause() {
  if (!state.bar_drawn) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  state.bar_drawn = false;
}

}  // namespace kelvra::pack
