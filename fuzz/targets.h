// The fuzz targets (their table: support.h), run by the libFuzzer programs and by the unit
// test that replays every stored input; a broken invariant aborts the one, fails the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvra::fuzz {

int reader_target(const std::uint8_t* data, std::size_t size);  // each returns 0
int chunks_target(const std::uint8_t* data, std::size_t size);
int names_target(const std::uint8_t* data, std::size_t size);
int extract_target(const std::uint8_t* data, std::size_t size);
int after_run_target(const std::uint8_t* data, std::size_t size);
int round_trip_target(const std::uint8_t* data, std::size_t size);

struct Target {
  const char* name;  // also its folder under fuzz/corpus and fuzz/crashes
  int (*run)(const std::uint8_t* data, std::size_t size);
};

// The answers decoded from the input, given by the program that runs the targets; past
// them the dialog counts as closed (cancel).
struct NewName {
  bool cancelled;  // leaves the name as it was
  std::string path;
};
void script_questions(const std::vector<int>& file_exists_answers, const std::vector<NewName>& new_names);
std::size_t write_failure_count();  // failure reports since script_questions
}  // namespace kelvra::fuzz
