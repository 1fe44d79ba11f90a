// Fuzz target: the whole extraction into a throw-away folder, with the questions
// answered from the input.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/extract.h"
#include "archive/format.h"
#include "fuzz/support.h"
#include "output/output.h"
#include "platform/posix_testing.h"

namespace kelvra::fuzz {

namespace {

std::vector<std::string> folder_names(const std::string& path) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names) out += (out.empty() ? "" : ", ") + name;
  return out;
}

std::string working_directory() {
  char buffer[4096];
  return getcwd(buffer, sizeof buffer) != nullptr ? buffer : "";
}

// The questions' answers from the input: one byte each. Renames take a name from the
// same byte: cancelled, a plain name, a name in a new subfolder, or an absolute path
// inside the target (the user may pick any folder; these stay inside on purpose).
void decode_answers(Cursor& in, std::size_t count, const std::string& target,
                    std::vector<int>* answers, std::vector<NewName>* names) {
  static const int table[8] = {answer_replace, answer_skip,   answer_replace_all, answer_skip_all,
                               answer_rename,  answer_rename, answer_closed,      7};
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t b = in.byte();
    const int answer = table[b & 7];
    answers->push_back(answer);
    if (answer != answer_rename) continue;
    const std::string leaf = "r" + std::to_string(b >> 5) + ".txt";
    switch ((b >> 3) & 3) {
      case 0: names->push_back({true, ""}); break;
      case 1: names->push_back({false, leaf}); break;
      case 2: names->push_back({false, "rn\\" + leaf}); break;
      default: names->push_back({false, target + "/" + leaf}); break;
    }
  }
}

}  // namespace

// Input: the number of scripted answers (low 4 bits of the first byte), the answers
// (one byte each), a control byte (bits 0-1: stub size; bit 2: files already in the
// target), then the archive; its checksum is always fixed up so the run goes ahead.
// The target holds links leading out of it (l, sub/l, m, b.txt).
// Nothing may appear outside target/, and the run must end where it started.
int extract_target(const std::uint8_t* data, std::size_t size) {
  current_target = "extract";
  if (size < 2) return 0;
  reset_run_state();
  Cursor in{data, size};
  const std::string base = fresh_folder("extract");
  const std::string parent = base + "/outer/parent";
  const std::string target = parent + "/target";
  std::error_code ignored;
  fs::create_directories(target, ignored);

  std::vector<int> answers;
  std::vector<NewName> names;
  decode_answers(in, in.byte() & 15, target, &answers, &names);
  const std::uint8_t control = in.byte();
  Bytes body = in.rest();
  if (body.size() >= format::checksum_field_size) test::fix_checksum(body);

  const std::string path = archive_path("extract");
  if (!store(path, stub_prefix((control & 3) * 16u), body)) return 0;
  if (open_archive(path.c_str()) != 0) return 0;

  // Checked before anything is written, so that a fault can't touch the machine.
  for (std::uint32_t i = 0; i < archive.entry_count; ++i) {
    if (leaves_folder(archive.entries[i].name)) {
      fail("the reader accepted '%s', which leaves the target folder", archive.entries[i].name);
      release_archive();
      return 0;
    }
  }
  if (control & 4) {
    fs::create_directories(target + "/sub", ignored);
    for (const char* name : {"/a.txt", "/sub/a.txt"}) {
      std::FILE* file = std::fopen((target + name).c_str(), "wb");
      if (file != nullptr) std::fclose(file);
    }
    fs::permissions(target + "/a.txt", fs::perms::owner_read, ignored);
  }

  // Links in the target that lead out of it, to folders and to a file not there yet:
  // nothing may be written through any of them.
  fs::create_directories(target + "/sub", ignored);
  fs::create_directory_symlink(base + "/outer", target + "/l", ignored);
  fs::create_directory_symlink(parent, target + "/sub/l", ignored);
  fs::create_directory_symlink(base + "/outer/missing", target + "/m", ignored);
  fs::create_symlink(parent + "/planted", target + "/b.txt", ignored);

  script_questions(answers, names);
  int result;
  std::string ended_in;
  {
    InFolder folder(target);
    if (!folder.entered()) {
      fail("cannot enter %s", target.c_str());
      release_archive();
      return 0;
    }
    result = extract_all();
    ended_in = working_directory();
  }
  INVARIANT(ended_in == target, "the run ended in %s instead of the target", ended_in.c_str());
  INVARIANT(result == (cancel_requested ? 1 : 0), "extract_all returned %d, cancel_requested %d",
              result, static_cast<int>(cancel_requested));
  INVARIANT(result == 0 || platform::testing::start_count() == 0,
              "a cancelled run started the program");

  // Each folder from the scratch root down holds only the way to the target.
  const std::vector<std::string> expected_base = {"outer"}, expected_outer = {"parent"},
                                  expected_parent = {"target"};
  const std::vector<std::string> in_base = folder_names(base), in_outer = folder_names(base + "/outer"),
                                 in_parent = folder_names(parent);
  INVARIANT(in_base == expected_base && in_outer == expected_outer && in_parent == expected_parent,
              "written outside the target: [%s] [%s] [%s]", joined(in_base).c_str(),
              joined(in_outer).c_str(), joined(in_parent).c_str());
  for (const std::string& name : folder_names(scratch_root())) {
    bool known = false;
    for (std::size_t i = 0; i < target_count; ++i) {
      known = known || name == targets[i].name || name == std::string(targets[i].name) + ".bin";
    }
    INVARIANT(known, "written outside the target: %s in the scratch root", name.c_str());
  }
  release_archive();
  return 0;
}

}  // namespace kelvra::fuzz
