// kelvra-pack test: every chunk inflated and held to the format's bounds.
#pragma once

#include <string>

namespace kelvra::pack {

// jobs: inflating threads (0: one per core).
int run_test(const std::string& path, unsigned codepage, unsigned jobs);

}  // namespace kelvra::pack
