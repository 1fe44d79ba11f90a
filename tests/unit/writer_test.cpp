// The writer: the format's bytes whatever the pool size or the stub in front, and what it
// refuses leaves no file behind.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/format.h"
#include "archive/writer.h"
#include "tests/unit/archive_builder.h"

namespace kelvra {
namespace {

using test::Bytes;
using test::noise;
using test::y2k_filetime;

struct WriterDir : test::TempDir {
  std::string put(const std::string& name, const std::string& content) const {
    std::ofstream(file(name), std::ios::binary) << content;
    return file(name);
  }
  long count() const { return std::distance(std::filesystem::directory_iterator(path()), {}); }
};

writer::Input input(const std::string& name, const std::string& path, std::uint8_t attributes = 0x20) {
  return {name, path, attributes, y2k_filetime, y2k_filetime + 1};
}

std::string write_and_open(const WriterDir& dir, const Bytes& stub, const std::vector<writer::Input>& inputs,
                           const writer::Strings& strings = {}, writer::Options options = {}) {
  const std::string path = dir.file("setup.exe");
  EXPECT_EQ("", writer::write_installer(path, stub, inputs, strings, options));
  close_archive();
  EXPECT_EQ(0, open_archive(path.c_str()));
  return path;
}

// The builder lays archives out on its own (the reader's tests hold it to the golden
// vector); at zlib's level 6, the one it uses, the two agree byte for byte. Each string
// at its longest, and one byte more is refused under its own name.
TEST(Writer, WritesWhatTheBuilderBuildsAndStringsUpToTheirLimits) {
  WriterDir dir;
  const std::vector<test::FileSpec> files = {{"big.txt", std::string(25000, 'x')},
                                             {"empty", "", 0x21},
                                             {std::string(251, 'n') + ".txt", "long"},
                                             {"sub\\noise.bin", noise(20000, 7)}};
  const char* const refusals[] = {"the reserved string is 256", "the program to run is 256", "the first argument is 256",
                                  "the second argument is 256", "the prompt is 256", "the password digest is 24",
                                  "the default directory is 256"};
  using writer::Strings;
  std::string Strings::*const fields[] = {&Strings::reserved, &Strings::run_program, &Strings::run_arg1, &Strings::run_arg2,
                                          &Strings::prompt, &Strings::password_digest, &Strings::default_dir};
  Strings strings;
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < 7; ++i) {
    texts.push_back(strings.*fields[i] = std::string(i == format::string_password_digest ? 23 : 255, 'a' + i));
  }
  std::vector<writer::Input> inputs;
  Bytes payload, directory;
  for (const test::FileSpec& file : files) {
    inputs.push_back(input(file.name, dir.put("in" + std::to_string(inputs.size()), file.content), file.attributes));
    const std::uint32_t size = test::put_chunks(payload, file.content);
    test::put_record(directory, file.name, size, file.attributes, y2k_filetime, y2k_filetime + 1);
  }
  test::put_strings(directory, texts);
  writer::Options options;
  options.level = 6;
  Bytes out;
  ASSERT_EQ("", writer::write_archive(out, inputs, strings, options));
  EXPECT_TRUE(test::finish_archive(payload, directory, 4) == out) << "the writer and the builder disagree";
  for (std::size_t i = 0; i < 7; ++i) {
    Strings longer = strings;
    longer.*fields[i] += 'z';
    const std::string error = writer::write_installer(dir.file("longer.exe"), Bytes(10, 1), {}, longer, {});
    EXPECT_NE(std::string::npos, error.find(refusals[i])) << error;
  }
}

TEST(Writer, SameBytesWhateverTheStubSizePoolSizeOrRun) {
  WriterDir dir;
  std::vector<writer::Input> inputs;
  for (int i = 0; i < 6; ++i) {
    const std::string name = "f" + std::to_string(i);
    inputs.push_back(input(name, dir.put(name, noise(3000 * i, i) + std::string(40000, 'z'))));
  }
  Bytes first;
  for (unsigned jobs : {1u, 4u, 4u}) {
    writer::Options options;
    options.jobs = jobs;
    Bytes out;
    ASSERT_EQ("", writer::write_archive(out, inputs, {}, options));
    if (first.empty()) first = out;
    EXPECT_EQ(first, out) << "jobs " << jobs;
  }
  // Each installer replaces the last whole, longer or shorter, and no other file.
  dir.put("setup.exe", std::string(100000, 'o'));
  dir.put("setup.exe.partial", "left by a killed run");
  for (std::size_t stub_size : {0u, 70001u}) {
    const std::string whole = test::read_all(write_and_open(dir, Bytes(stub_size, 0xCC), inputs));
    EXPECT_TRUE(whole.substr(stub_size) == std::string(first.begin(), first.end())) << stub_size;
    EXPECT_EQ(stub_size, payload_start());
  }
  EXPECT_EQ("left by a killed run", test::read_all(dir.file("setup.exe.partial")));
  EXPECT_EQ(8, dir.count());
  // None, and a thousand, the most there may be.
  write_and_open(dir, {}, {});
  EXPECT_EQ(0u, archive.entry_count);
  inputs.assign(1000, input("", dir.put("empty", "")));
  for (int i = 0; i < 1000; ++i) inputs[i].stored_name = "f" + std::to_string(i);
  write_and_open(dir, {}, inputs);
  EXPECT_STREQ("f999", archive.entries[999].name);
}

// One row per check; the command line shows once that a refusal reaches the user.
TEST(Writer, RefusalsNameTheProblemAndLeaveNoFile) {
  WriterDir dir;
  const std::string ok = dir.put("ok", "data");
  std::vector<writer::Input> too_many(1001, input("x", ok));
  for (std::size_t i = 0; i < too_many.size(); ++i) too_many[i].stored_name = "x" + std::to_string(i);
  // Each string one byte too long: WritesWhatTheBuilderBuildsAndStringsUpToTheirLimits.
  const struct {
    const char* what;
    std::vector<writer::Input> inputs;
    writer::Strings strings;
    std::string expected;  // part of the message
  } cases[] = {
      {"count", too_many, {}, "at most 1000"},
      {"name length", {input(std::string(256, 'n'), ok)}, {}, "the limit is 255"},
      {"parent", {input("a\\..\\..\\evil", ok)}, {}, "'a\\..\\..\\evil'"},
      {"wildcard", {input("a?.txt", ok)}, {}, "'?'"},
      {"trailing dot", {input("a.", ok)}, {}, "dot"},
      {"duplicate", {input("A.txt", ok), input("a.TXT", ok)}, {}, "same name"},
      {"file and folder", {input("a", ok), input("a\\b", ok)}, {}, "also stored as a file"},
      {"zero byte in an argument", {}, {"", "", "", std::string("a\0b", 3), "", "", ""}, "zero byte"},
      {"escape in the prompt", {}, {"", "", "", "", "a\x1b[2Jb", "", ""}, "the prompt holds the control character 0x1B (only tabs"},
      {"newline in the program", {}, {"", "setup.exe\nforged", "", "", "", "", ""}, "the program to run holds the control character 0x0A"},
      {"missing input", {input("gone", dir.file("gone"))}, {}, "cannot open"},
  };
  for (const auto& c : cases) {
    const std::string error = writer::write_installer(dir.file("out.exe"), Bytes(10, 1), c.inputs, c.strings, {});
    EXPECT_NE(std::string::npos, error.find(c.expected)) << c.what << ": " << error;
    EXPECT_EQ(1, dir.count()) << c.what;
  }
  // The payload limit is met mid-write: the partial file goes too.
  writer::Options options;
  options.payload_limit = 30000;
  const std::vector<writer::Input> random = {input("random", dir.put("random", noise(40000, 9)))};
  const std::string error = writer::write_installer(dir.file("out.exe"), {}, random, {}, options);
  EXPECT_NE(std::string::npos, error.find("4 GiB")) << error;
  EXPECT_EQ(2, dir.count());
}

// An input that is no longer what was gathered: the writer stores exactly the gathered
// size or refuses, and never waits on a pipe put in the file's place.
TEST(Writer, InputsThatChangedAfterGatheringAreRefused) {
  WriterDir dir;
  const std::string data = dir.put("data", std::string(25000, 'x')), fifo = dir.file("fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  const struct {
    const char* what;
    std::string path;
    std::uint64_t gathered;
    std::string expected;  // part of the message, empty: written
  } cases[] = {
      {"as gathered", data, 25000, ""},
      {"gathered size unknown", data, writer::Input::size_unknown, ""},
      {"grew", data, 20000, "changed while read: it grew past the 20000 bytes"},
      {"shrank", data, 30000, "changed while read: it holds 25000 bytes, fewer than the 30000"},
      {"now a pipe", fifo, 3, "no longer a regular file"},
  };
  for (const auto& c : cases) {
    writer::Input in = input("a.bin", c.path);
    in.size = c.gathered;
    Bytes out;
    // A regression blocks on the pipe's open, and the test's time runs out.
    const std::string error = writer::write_archive(out, {in}, {}, {});
    EXPECT_EQ(c.expected.empty(), error.empty()) << c.what << ": " << error;
    EXPECT_NE(std::string::npos, error.find(c.expected)) << c.what << ": " << error;
  }
}

}  // namespace
}  // namespace kelvra
