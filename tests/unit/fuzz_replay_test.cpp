// Every stored fuzz input (fuzz/corpus/<target>/, fuzz/crashes/<target>/) through the
// target bodies the fuzzers run: an ordinary test here, and under the sanitizers.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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

std::size_t write_failure_count() { return scripted::calls_of(scripted::CallKind::write_failure).size(); }

namespace {

class FuzzReplay : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzReplay, EveryStoredInputKeepsTheInvariants) {
  std::vector<std::string> inputs;
  for (const char* folder : {"/corpus/", "/crashes/"}) {
    const std::string path = std::string(KELVRA_TEST_DATA "/../../fuzz") + folder + GetParam().name;
    std::error_code error;  // a target may have no crashes
    for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
      inputs.push_back(it->path().string());
    }
    ASSERT_FALSE(inputs.empty()) << "no seeds for " << GetParam().name << " (run fuzz/make-seeds)";
  }
  std::sort(inputs.begin(), inputs.end());
  set_failure_handler([](const char* target, const char* what) { ADD_FAILURE() << target << ": " << what; });
  for (const std::string& path : inputs) {
    SCOPED_TRACE(path);
    std::string bytes;
    ASSERT_TRUE(read_whole(path, &bytes));
    GetParam().run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  set_failure_handler(nullptr);
  scripted::reset();
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(targets, targets + target_count),
                         [](const ::testing::TestParamInfo<Target>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvra::fuzz
