// The extraction run: every entry of the opened archive back into a file in the
// working directory, then the after-run program handed to the host (after_run.h).
#pragma once

#include <cstddef>

#include "archive/archive.h"

namespace kelvra {

// Set to 1 when a "File Exists" question was closed instead of answered; read
// between entries only.
extern volatile int cancel_requested;

// 0: every entry handled and the after-run program handed to the host; 1: cancelled;
// 2: the payload read was not the one checked at opening (changed on disk, or cut
// short): the after-run program is not handed over.
int extract_all();
// The descriptor must stand on the entry's first payload byte; it stands after the
// entry's last payload byte on return, whatever happened.
void extract_entry(const DirectoryEntry& entry);

// What the run tells its host. Declared here, defined once per program like the
// questions of output.h: the stub's window, the packer's terminal, the tests' record.
// An entry's file was made and its data is going into it; path is current_path (the
// name the file is written under, which a rename may have changed).
void entry_started(const char* path);
// The run is done with entry, whether its file was written, skipped or refused.
void entry_done(const DirectoryEntry& entry);
// The run is over, with extract_all's result. On 0 the after-run program is the host's
// to start (start_run_program), to show or to record; on 1 and 2 it must not start.
void extraction_ended(int result);

}  // namespace kelvra
