// Progress of create, test and extract on standard error: a bar redrawn in place on a
// terminal, a plain line now and then for logs and CI, or nothing with --quiet.
#pragma once

#include <cstdint>
#include <string>

namespace kelvra::pack {

// --progress=auto|bar|plain|none and --quiet; auto is a bar when standard error is a
// terminal, plain lines otherwise.
void choose_progress(const std::string& option, bool quiet);
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

}  // namespace kelvra::pack
