// Fuzz target: the whole extraction, the questions answered from the input: nothing may
// appear outside the target, through links or otherwise. Input: the number of answers (low
// 4 bits of the first byte), the answers (one byte each), a control byte (bits 0-1: stub
// size; bit 2: files already in the target), then the archive, its checksum fixed up.
#include "fuzz/support.h"

namespace kelvra::fuzz {

FUZZ_TARGET(extract) {
  fresh_folder();
  const std::string base = work_folder, parent = base + "/outer/parent", target = parent + "/target";
  fs::create_directories(target + "/sub", ignored);
  // A rename's name: cancelled, plain, in a new subfolder, or absolute inside the target.
  std::vector<int> answers;
  std::vector<NewName> names;
  for (std::size_t i = in.byte() & 15; i > 0; --i) {
    const std::uint8_t b = in.byte();
    static const int table[8] = {answer_replace, answer_skip, answer_replace_all, answer_skip_all,
                                 answer_rename, answer_rename, answer_closed, 7};
    answers.push_back(table[b & 7]);
    const std::string leaf = "r" + std::to_string(b >> 5) + ".txt";
    const std::string paths[4] = {"", leaf, "rn\\" + leaf, target + "/" + leaf};
    if (answers.back() == answer_rename) names.push_back({((b >> 3) & 3) == 0, paths[(b >> 3) & 3]});
  }
  const std::uint8_t control = in.byte();
  Bytes body = in.rest();
  if (body.size() >= format::checksum_field_size) test::fix_checksum(body);
  if (open_stored((control & 3) * 16u, body) != 0) return;
  if (control & 4) {
    test::write_file(target + "/a.txt", {}, {});
    test::write_file(target + "/sub/a.txt", {}, {});
    fs::permissions(target + "/a.txt", fs::perms::owner_read, ignored);
  }
  // Links out of the target, to folders and to a file not there yet.
  fs::create_directory_symlink(base + "/outer", target + "/l", ignored);
  fs::create_directory_symlink(parent, target + "/sub/l", ignored);
  fs::create_directory_symlink(base + "/outer/missing", target + "/m", ignored);
  fs::create_symlink(parent + "/planted", target + "/b.txt", ignored);
  const int result = extract_in(target, answers, names);
  expect(result == (cancel_requested ? 1 : 0), "the run's result is not whether it was cancelled");
  for (const auto& [folder, way] : {std::pair{base, "outer"}, {base + "/outer", "parent"}, {parent, "target"}}) {
    const auto count = std::distance(fs::directory_iterator(folder, ignored), fs::directory_iterator());
    expect(count == 1 && fs::is_directory(fs::symlink_status(folder + "/" + way, ignored)),
           "written outside the target");
  }
}

}  // namespace kelvra::fuzz
