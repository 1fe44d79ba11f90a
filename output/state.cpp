// The output side's process-wide state: the path of the entry being written and the
// overwrite policy chosen so far in this run.
#include "output/output.h"

namespace kelvra {

char current_path[format::path_buffer_size];
OverwritePolicy overwrite_policy = OverwritePolicy::ask;

}  // namespace kelvra
