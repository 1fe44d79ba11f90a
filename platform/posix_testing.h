// Test hooks of the POSIX platform: what start_process would have started, failing
// allocations on demand, and listeners told of repaints and directory creations.
#pragma once

#include <cstddef>

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
void reset_starts();

// n more allocations succeed, then every one fails; -1 turns failures off.
void fail_allocation_after(int n);

// Called (from whichever thread) each time invalidate_main_window is; nullptr: none.
void set_message_listener(void (*listener)());

// Called after each create_directory with the path as given and its result; nullptr: none.
void set_directory_listener(void (*listener)(const char* path, DirectoryResult result));

}  // namespace kelvra::platform::testing
