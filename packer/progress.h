// Progress of create, test and extract on standard error: a bar redrawn in place on a
// terminal, a plain line now and then for logs and CI, or nothing with --quiet.
#pragma once

#include <cstdint>
#include <string>

namespace kelvra::pack {

enum class ProgressStyle { none, plain, bar };

// --progress=auto|bar|plain|none and --quiet; auto is a bar when standard error is a
// terminal, plain lines otherwise. False for a word it doesn't know.
bool choose_progress(const std::string& option, bool quiet);
ProgressStyle progress_style();
bool quiet();

// One operation at a time: "compressing", "testing", "extracting".
void progress_start(const char* action, std::uint64_t bytes_total, std::uint32_t files_total);
void progress_update(std::uint64_t bytes_done, std::uint32_t files_done);
// Ends the operation: when it completed, with a last line that says how much was done
// and in what time; otherwise the bar just leaves the screen.
void progress_finish(bool completed);
// Takes the bar off the screen before other text is written to the terminal; the
// next update draws it again.
void progress_pause();

// For the texts and tests: 1536 -> "1.5 KiB", 95 seconds -> "1:35".
std::string human_bytes(std::uint64_t bytes);
std::string human_duration(double seconds);

}  // namespace kelvra::pack
