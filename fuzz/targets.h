// The fuzz targets (their table: support.h), run by the libFuzzer programs and by the unit
// test that replays every stored input; a broken invariant aborts the one, fails the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvra::fuzz {

// Each name is also the target's folder under fuzz/corpus and fuzz/crashes.
#define KELVRA_FUZZ_TARGETS(X) X(reader) X(chunks) X(names) X(extract) X(after_run) X(round_trip)
#define KELVRA_DECLARE_TARGET(name) int name##_target(const std::uint8_t* data, std::size_t size);  // returns 0
KELVRA_FUZZ_TARGETS(KELVRA_DECLARE_TARGET)

struct Target {
  const char* name;
  int (*run)(const std::uint8_t* data, std::size_t size);
};

// The answers decoded from the input; past them the dialog counts as closed (cancel).
struct NewName {
  bool cancelled;  // leaves the name as it was
  std::string path;
};
void script_questions(const std::vector<int>& file_exists_answers, const std::vector<NewName>& new_names);
std::size_t write_failure_count();  // failure reports since script_questions
}  // namespace kelvra::fuzz
