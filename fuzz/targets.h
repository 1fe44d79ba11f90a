// The fuzz targets' bodies, shared by the libFuzzer programs (fuzz/fuzz_*.cpp) and by
// the unit test that replays every stored corpus and crash input (fuzz_replay_test.cpp).
// A broken invariant goes to the failure handler: abort() under libFuzzer, a test
// failure under GoogleTest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvra::fuzz {

// Each takes one input and returns 0 (libFuzzer's convention).
int reader_target(const std::uint8_t* data, std::size_t size);
int chunks_target(const std::uint8_t* data, std::size_t size);
int names_target(const std::uint8_t* data, std::size_t size);
int extract_target(const std::uint8_t* data, std::size_t size);
int after_run_target(const std::uint8_t* data, std::size_t size);
int round_trip_target(const std::uint8_t* data, std::size_t size);

struct Target {
  const char* name;  // also the folder name under fuzz/corpus and fuzz/crashes
  int (*run)(const std::uint8_t* data, std::size_t size);
};
extern const Target targets[];
extern const std::size_t target_count;

// Called with a description of the broken invariant. The default prints and aborts.
using FailureHandler = void (*)(const char* target, const char* what);
void set_failure_handler(FailureHandler handler);

// A private scratch folder for this process, removed at exit.
const std::string& scratch_root();

// The answers to the two questions, decoded from the input before the run. Provided
// by the program that runs the targets: fuzz/questions.cpp for the fuzzers, the replay
// test's scripted questions for the unit tests. Every rename answer has a new name
// (an empty path with cancelled set leaves the name as it was); once the file-exists
// answers run out the question counts as closed, which cancels the run.
struct NewName {
  bool cancelled;
  std::string path;
};
void script_questions(const std::vector<int>& file_exists_answers,
                      const std::vector<NewName>& new_names);
// Failure reports (report_write_failure) since the last script_questions.
std::size_t write_failure_count();

}  // namespace kelvra::fuzz
