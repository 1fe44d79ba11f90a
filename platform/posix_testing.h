// Test hooks of the POSIX platform: what start_process and start_through_shell would
// have started (and a start made to fail), failing allocations on demand, listeners told
// of repaints and directory creations, how output paths are resolved, and replaces
// that meet Windows' held files and tunnelled times.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace kelvra::platform::testing {

struct StartRecord {
  char file[4096];
  char command_line[4096];
  bool result;  // what start_process returned
};

// The most recent start_process call since reset_starts(); nullptr when none.
const StartRecord* last_start();
// How many start_process calls since reset_starts().
int start_count();
// Forgets the start and shell-start records and any failure set up below.
void reset_starts();
// The next start_process call is recorded but fails with this error code.
void fail_next_start(std::uint32_t error);

struct ShellStartRecord {
  char file[4096];
  char parameters[4096];
};

// The most recent start_through_shell call since reset_starts(); nullptr when none.
const ShellStartRecord* last_shell_start();
int shell_start_count();

// n more allocations succeed, then every one fails; -1 turns failures off.
void fail_allocation_after(int n);

// How many times invalidate_main_window has been called, from whichever thread.
int repaint_count();

// Output paths resolved one folder at a time (as on kernels without openat2) instead
// of in one step; false goes back to one step.
void resolve_part_by_part(bool on);

// Called after each create_directory with the path as given and its result; nullptr: none.
void set_directory_listener(void (*listener)(const char* path, DirectoryResult result));

// The next `times` replace_file calls find the target held open elsewhere (in use), as
// a virus scanner's look at a file just closed makes it on Windows; 0 ends that.
void hold_replace_target(int times);
// A file that takes an existing name by replace_file keeps the old file's times, as
// NTFS tunnelling does for the creation time; false ends that.
void tunnel_times(bool on);
// The milliseconds pause() was asked for since the last call.
std::uint32_t paused_milliseconds();

}  // namespace kelvra::platform::testing
