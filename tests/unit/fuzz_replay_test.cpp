// Replays every stored fuzz input, the seeds in fuzz/corpus/<target>/ and the crash
// reproducers in fuzz/crashes/<target>/, through the very target bodies the fuzzers
// run, so that each one is an ordinary test here (and under the sanitizers).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "archive/extract.h"
#include "fuzz/support.h"
#include "output/output.h"
#include "tests/unit/scripted_questions.h"

namespace kelvra::fuzz {

// The fuzzers' questions, answered through the tests' scripted ones: the same answers
// in the same order, then a closed dialog.
void script_questions(const std::vector<int>& answers, const std::vector<NewName>& names) {
  scripted::reset();
  for (int answer : answers) scripted::answer_file_exists(answer);
  scripted::answer_file_exists(answer_closed);
  for (const NewName& name : names) {
    if (name.cancelled)
      scripted::cancel_new_name();
    else
      scripted::answer_new_name(name.path);
  }
}

std::size_t write_failure_count() {
  return scripted::calls_of(scripted::CallKind::write_failure).size();
}

namespace {

const std::string fuzz_folder = std::string(KELVRA_TEST_DATA) + "/../../fuzz";

std::vector<std::string> stored_inputs(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    if (it->is_regular_file()) files.push_back(it->path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

void report_broken_invariant(const char* target, const char* what) {
  ADD_FAILURE() << target << ": " << what;
}

}  // namespace

// Names the target in gtest's messages instead of dumping its bytes.
void PrintTo(const Target& target, std::ostream* out) { *out << target.name; }

namespace {

class FuzzReplay : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzReplay, EveryStoredInputKeepsTheInvariants) {
  const Target& target = GetParam();
  const std::vector<std::string> seeds = stored_inputs(fuzz_folder + "/corpus/" + target.name);
  ASSERT_FALSE(seeds.empty()) << "no seeds for " << target.name << " (run fuzz/make-seeds)";
  std::vector<std::string> inputs = seeds;
  for (const std::string& crash : stored_inputs(fuzz_folder + "/crashes/" + target.name)) {
    inputs.push_back(crash);
  }

  set_failure_handler(report_broken_invariant);
  for (const std::string& path : inputs) {
    SCOPED_TRACE(path);
    std::string bytes;
    ASSERT_TRUE(read_whole(path, &bytes));
    target.run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  set_failure_handler(nullptr);
  scripted::reset();
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(targets, targets + target_count),
                         [](const ::testing::TestParamInfo<Target>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kelvra::fuzz
