// The targets by name, for the replay test: the name is also the folder under
// fuzz/corpus and fuzz/crashes.
#include "fuzz/targets.h"

namespace kelvra::fuzz {

const Target targets[] = {
    {"reader", reader_target},       {"chunks", chunks_target},
    {"names", names_target},         {"extract", extract_target},
    {"after_run", after_run_target}, {"round_trip", round_trip_target},
};
const std::size_t target_count = sizeof targets / sizeof targets[0];

}  // namespace kelvra::fuzz
