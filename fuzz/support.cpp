#include "fuzz/support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace kelvra::fuzz {

const Target targets[] = {{"reader", reader_target}, {"chunks", chunks_target}, {"names", names_target}, {"extract", extract_target}, {"after_run", after_run_target}, {"round_trip", round_trip_target}};
const std::size_t target_count = std::size(targets);

namespace {

const char* current_target = "";
std::string scratch_root;  // memory-backed when the system has it: most inputs write files

void abort_on_failure(const char* target, const char* what) {
  std::fprintf(stderr, "fuzz target %s: invariant broken: %s\n", target, what);
  std::abort();
}
FailureHandler failure_handler = abort_on_failure;

}  // namespace

void set_failure_handler(FailureHandler handler) { failure_handler = handler != nullptr ? handler : abort_on_failure; }
void fail(const char* what) { failure_handler(current_target, what); }

int run_target(const char* name, const std::uint8_t* data, std::size_t size, void (*body)(Cursor& in)) {
  if (scratch_root.empty()) {
    const fs::path base = access("/dev/shm", W_OK) == 0 ? fs::path("/dev/shm") : fs::temp_directory_path();
    scratch_root = (base / "kelvra-fuzz-XXXXXX").string();
    if (mkdtemp(scratch_root.data()) == nullptr) abort_on_failure(name, "cannot make a scratch folder");
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(scratch_root, ignored);
    });
  }
  current_target = name;
  cancel_requested = 0;
  overwrite_policy = OverwritePolicy::ask;
  platform::testing::reset_starts();
  std::error_code error;
  const fs::path saved = fs::current_path(error);
  Cursor in{data, size};
  body(in);
  platform::testing::fail_allocation_after(-1);
  release_archive();
  if (!error && chdir(saved.c_str()) != 0) fail("cannot return to the working folder");
  return 0;
}

std::string fresh_folder() {
  const std::string path = scratch_root + "/" + current_target;
  std::error_code ignored;
  fs::remove_all(path, ignored);
  fs::create_directories(path, ignored);
  return path;
}

bool read_whole(const std::string& path, std::string* content) {
  std::error_code error;
  *content = test::read_all(path);
  return fs::is_regular_file(path, error);
}

std::string up_to_zero(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

std::string slashes(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

bool leaves_folder(const std::string& name) {
  bool leaves = name.empty() || name.find_first_of("\\/") == 0;
  std::istringstream parts(slashes(name));
  // Dots and blanks alone name the folder itself or its parent on Windows.
  for (std::string part; std::getline(parts, part, '/');) {
    leaves = leaves || (!part.empty() && part.find_first_not_of(". ") == std::string::npos);
  }
  return leaves;
}

int open_stored(std::size_t stub_size, const Bytes& body, bool must_open) {
  Bytes stub(stub_size, 0);
  if (stub_size >= 2) stub[0] = 'M', stub[1] = 'Z';
  const std::string path = scratch_root + "/" + current_target + ".bin";
  expect(test::write_file(path, stub, body), "cannot write the archive");
  const int result = open_archive(path.c_str());
  expect(result == 0 || result == 1, "open_archive returned neither 0 nor 1");
  expect(!must_open || result == 0, "a sound archive was refused");
  // Checked before anything is written, so that a fault can't touch the machine.
  for (std::uint32_t i = 0; result == 0 && i < archive.entry_count; ++i) {
    if (leaves_folder(archive.entries[i].name)) return fail("a name that leaves the folder was accepted"), 1;
  }
  return result;
}

int extract_in(const std::string& folder, const std::vector<int>& answers, const std::vector<NewName>& names) {
  if (chdir(folder.c_str()) != 0) return fail("cannot enter the target folder"), -1;
  script_questions(answers, names);
  const int result = extract_all();
  std::error_code error;
  expect(fs::equivalent(fs::current_path(error), folder, error), "the run ended outside its folder");
  return result;
}

void check_file(const std::string& path, const std::string& want) {
  std::string got;
  expect(read_whole(path, &got) && got == want, "a file doesn't hold what was stored");
}

}  // namespace kelvra::fuzz
