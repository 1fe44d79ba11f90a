// create --dry-run and create --depfile: both work from the entries create gathered.
#include "packer/commands/dry_run.h"

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include "packer/commands/create.h"
#include "packer/system/system.h"

namespace kelvra::pack {

namespace {

namespace fs = std::filesystem;

// Make's escapes for a path in a rule: spaces, '#', '$' and a backslash before them.
std::string make_escaped(const std::string& path) {
  std::string out;
  for (const char c : path) {
    if (c == ' ' || c == '#' || c == '\\') out += '\\';
    if (c == '$') out += '$';
    out += c;
  }
  return out;
}

std::string absolute(const std::string& path) {
  std::error_code error;
  const fs::path full = fs::absolute(system::to_path(path), error);
  return error ? path : system::from_path(full.lexically_normal());
}

}  // namespace

void print_dry_run(const CreateArgs& args, const std::vector<writer::Input>& inputs,
                   const writer::Strings& strings, std::size_t stub_size) {
  std::uint64_t total_in = 0;
  std::printf("Would write:        %s (nothing is written: --dry-run)\n", args.output.c_str());
  std::printf("        Size  Stored name  <-  Source\n");
  for (const writer::Input& input : inputs) {
    std::error_code ignored;
    const std::uint64_t size = fs::file_size(system::to_path(input.source_path), ignored);
    total_in += size;
    std::printf("%12" PRIu64 "  %s  <-  %s\n", size, from_codepage(input.stored_name, args.codepage).c_str(),
                input.source_path.c_str());
  }
  std::printf("%zu file%s, %" PRIu64 " bytes in\n\n", inputs.size(), inputs.size() == 1 ? "" : "s", total_in);
  auto text = [&](const std::string& bytes) { return from_codepage(bytes, args.codepage); };
  const std::string program = text(strings.run_program);
  const std::string directory = text(strings.default_dir);
  std::printf("Stub:               %s, %zu bytes\n", args.stub_path.empty() ? "built in" : args.stub_path.c_str(),
              stub_size);
  std::printf("Level:              %s\n", args.level.c_str());
  std::printf("Code page:          %u\n", args.codepage);
  std::printf("Program to run:     %s\n", program.empty() ? "(none)" : program.c_str());
  std::printf("First argument:     %s\n", text(strings.run_arg1).c_str());
  std::printf("Second argument:    %s\n", text(strings.run_arg2).c_str());
  std::printf("Prompt:             %s\n", text(strings.prompt).c_str());
  std::printf("Default directory:  %s\n", directory.empty() ? "(TEMP or TMP)" : directory.c_str());
  std::printf("Password:           %s\n", strings.password_digest.empty() ? "none" : "set");
  std::vector<LanguageTexts> chosen;
  choose_languages(args.languages, args.texts, &chosen);  // create has checked them
  std::string tags;
  for (const LanguageTexts& language : chosen) tags += (tags.empty() ? "" : ", ") + std::string(language.language->tag);
  std::printf("Languages:          %s\n", tags.c_str());
}

std::string write_depfile(const std::string& depfile, const CreateArgs& args,
                          const std::vector<writer::Input>& inputs) {
  std::set<std::string> read;
  // The folders given as inputs, so one that was empty counts when a file appears in it.
  // A file named as an input itself is listed alone: its folder is often the build
  // folder, which changes whenever anything else is built there.
  std::set<std::string> named_files;
  for (const InputItem& item : args.inputs) {
    std::error_code error;
    (fs::is_directory(system::to_path(item.path), error) ? read : named_files).insert(absolute(item.path));
  }
  for (const writer::Input& input : inputs) {
    const std::string file = absolute(input.source_path);
    read.insert(file);
    // The folder a file was found in, so a file added beside it counts.
    if (named_files.count(file) == 0) read.insert(system::from_path(system::to_path(file).parent_path()));
  }
  for (const std::string* extra : {&args.stub_path, &args.password_file, &args.branding.icon}) {
    if (!extra->empty()) read.insert(absolute(*extra));
  }
  // Written whole beside the target, then put in its place: a build tool never reads half.
  const std::string partial = depfile + ".partial";
  {
    std::ofstream out(system::to_path(partial), std::ios::binary | std::ios::trunc);
    out << make_escaped(absolute(args.output)) << ":";
    for (const std::string& path : read) out << " \\\n  " << make_escaped(path);
    out << "\n";
    out.close();
    if (!out) return "cannot write " + in_quotes(partial) + ": " + system::last_error();
  }
  std::error_code error;
  fs::rename(system::to_path(partial), system::to_path(depfile), error);
  if (error) return "cannot write " + in_quotes(depfile) + ": " + error.message();
  return {};
}

}  // namespace kelvra::pack
