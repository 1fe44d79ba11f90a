// kelvra-pack create: gathers files and folders into stored names, times and
// attributes, turns the texts and the password into archive strings, and hands all of
// it to the writer behind the stub.
#include "packer/commands/create.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/format.h"
#include "archive/writer.h"
#include "packer/commands/dry_run.h"
#include "packer/packer.h"
#include "packer/pe/checksum.h"
#include "packer/pe/sign.h"
#include "packer/project/project.h"
#include "packer/system/codepages.h"
#include "packer/system/progress.h"
#include "packer/system/system.h"
#include "packer/system/terminal.h"
#include "packer/system/times.h"
#include "password/password.h"

namespace kelvra::pack {

namespace {

namespace fs = std::filesystem;

// A refusal: what to say and which exit status it earns.
struct Refusal {
  std::string text;
  int status = exit_ok;
  bool refused() const { return status != exit_ok; }
};
Refusal refuse(std::string text, int status) { return Refusal{std::move(text), status}; }

struct Found {
  std::string source;  // the file to read
  std::string name;    // UTF-8, parts joined by backslashes
};

// Last-write from the modification time; creation from the birth time where the file
// system keeps one, else the modification time too.
Refusal describe_file(const std::string& source, writer::Input* input) {
  system::FileFacts facts;
  const std::string error = system::file_facts(source, &facts);
  if (!error.empty()) return refuse("cannot read " + in_quotes(source) + ": " + error, exit_failed);
  input->source_path = source;
  input->last_write_time = facts.last_write_time;
  input->creation_time = facts.creation_time;
  input->size = facts.size;
  input->attributes = format::attribute_archive;
  if (facts.read_only) input->attributes |= format::attribute_read_only;
  return {};
}

Refusal too_many() {
  return refuse("more than " + std::to_string(format::max_entries) +
                    " files: an archive holds at most " + std::to_string(format::max_entries) +
                    "; leave some out with exclude patterns, or pack fewer files (a zip of them, say)",
                exit_failed);
}

// How a refusal names an option: by the option, or by the project file's line and key
// when the value came from there.
std::string named(const CreateArgs& args, const std::string& option) {
  const auto origin = args.origins.find(option);
  return origin == args.origins.end() ? option : origin->second;
}

// Everything under folder that no pattern leaves out, named relative to it inside
// prefix. Links to files are followed; links to folders are not, so a loop can't be
// walked.
Refusal walk_folder(const fs::path& folder, const std::string& prefix, const std::vector<std::string>& excludes,
                    std::vector<Found>* found) {
  std::error_code error;
  fs::recursive_directory_iterator it(folder, error), end;
  for (; !error && it != end; it.increment(error)) {
    const fs::directory_entry& item = *it;
    const std::string source = system::from_path(item.path());
    std::vector<std::string> parts;
    std::string relative;
    for (const fs::path& part : item.path().lexically_relative(folder)) {
      parts.push_back(system::from_path(part));
      relative += (relative.empty() ? "" : "/") + parts.back();
    }
    const bool folder_itself = item.is_directory(error) && !item.is_symlink(error);
    if (path_excluded(excludes, relative)) {
      if (folder_itself) it.disable_recursion_pending();
      continue;
    }
    if (folder_itself) continue;
    if (!item.is_regular_file(error)) {
      const bool folder_link = item.is_symlink(error) && item.is_directory(error);
      return refuse(in_quotes(source) + (folder_link ? " is a link to a folder, which is not followed: name the "
                                                       "folder as an input of its own, or leave the link out "
                                                       "with an exclude pattern"
                                                     : " is not a regular file: leave it out with an exclude pattern"),
                    exit_failed);
    }
    std::string name = prefix;
    for (const std::string& text : parts) {
      if (text.find('\\') != std::string::npos) {
        return refuse(in_quotes(source) + ": a backslash in a file name would split it into folders; rename it",
                      exit_failed);
      }
      name += (name.empty() ? "" : "\\") + text;
    }
    found->push_back({source, name});
    if (found->size() > format::max_entries) return too_many();
  }
  if (error) return refuse("cannot read " + in_quotes(system::from_path(folder)) + ": " + error.message(), exit_failed);
  return {};
}

// One input's files; a refusal points at the input's line when a project file named it.
Refusal gather_input(const InputItem& given, const CreateArgs& args, const fs::path& output,
                     std::vector<Found>* found) {
  std::vector<std::string> excludes = given.excludes;
  excludes.insert(excludes.end(), args.excludes.begin(), args.excludes.end());
  const fs::path path = system::to_path(given.path);
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (error) return refuse("cannot read " + in_quotes(given.path) + ": " + error.message(), exit_failed);
  std::string name = given.name;
  const bool into_folder = !name.empty() && name.back() == '\\';
  if (into_folder) name.pop_back();
  if (fs::is_directory(status)) return walk_folder(path, name, excludes, found);
  if (!fs::is_regular_file(status)) return refuse(in_quotes(given.path) + " is neither a file nor a folder", exit_failed);
  // The same file under another name or through a link counts too: the output would be
  // written over the input while it is read.
  if (fs::exists(output) && fs::equivalent(path, output, error)) {
    return refuse(in_quotes(given.path) + " is the output file itself: choose another output", exit_usage);
  }
  const std::string base = system::from_path(path.filename());
  if (path_excluded(excludes, base)) return {};
  if ((name.empty() || into_folder) && base.find('\\') != std::string::npos) {
    return refuse(in_quotes(given.path) + ": a backslash in a file name would split it into folders; rename it",
                  exit_failed);
  }
  found->push_back({given.path, name.empty() ? base : into_folder ? name + "\\" + base
                                                                  : name});
  return {};
}

// The installer splits a stored name at every 0x5C byte, also at one that is the second
// half of a double-byte character (as in code page 932's "\x83\x5C"). Returns the first
// such character of utf8, or nothing.
std::string backslash_in_double_byte(const std::string& utf8, unsigned codepage) {
  for (std::size_t at = 0; at < utf8.size();) {
    std::size_t length = 1;
    while (at + length < utf8.size() && (static_cast<unsigned char>(utf8[at + length]) & 0xC0) == 0x80) ++length;
    const std::string character = utf8.substr(at, length);
    std::string bytes;
    if (length > 1 && to_codepage(character, codepage, &bytes) && bytes.size() > 1 &&
        bytes.find('\\') != std::string::npos) {
      return character;
    }
    at += length;
  }
  return {};
}

Refusal gather(const CreateArgs& args, std::vector<writer::Input>* inputs) {
  std::vector<Found> found;
  const fs::path output = fs::absolute(system::to_path(args.output));
  for (const InputItem& given : args.inputs) {
    Refusal refusal = gather_input(given, args, output, &found);
    if (refusal.refused() && !given.origin.empty()) refusal.text = given.origin + ": " + refusal.text;
    if (refusal.refused()) return refusal;
    if (found.size() > format::max_entries) return too_many();
  }

  for (const Found& item : found) {
    writer::Input input;
    if (!to_codepage(item.name, args.codepage, &input.stored_name)) {
      return refuse(in_quotes(item.source) + ": the name " + in_quotes(item.name) +
                        " can't be written in code page " + std::to_string(args.codepage) +
                        "; rename it, or choose the code page of the Windows it is for with " +
                        named(args, "--codepage"),
                    exit_failed);
    }
    const std::string split_at = backslash_in_double_byte(item.name, args.codepage);
    if (!split_at.empty()) {
      return refuse(in_quotes(item.source) + ": in code page " + std::to_string(args.codepage) + " the character " +
                        in_quotes(split_at) + " of the name " + in_quotes(item.name) +
                        " ends in the byte 0x5C, a backslash, where the installer would split the name "
                        "into folders; rename it",
                    exit_failed);
    }
    Refusal refusal = describe_file(item.source, &input);
    if (refusal.refused()) return refusal;
    inputs->push_back(std::move(input));
  }
  std::sort(inputs->begin(), inputs->end(), [](const writer::Input& a, const writer::Input& b) {
    return a.stored_name < b.stored_name;
  });
  // Names that differ here but not once the installer reads them on Windows: the
  // second would be written over the first.
  std::vector<std::string> stored;
  for (const writer::Input& input : *inputs) stored.push_back(input.stored_name);
  std::vector<std::size_t> with;
  const std::vector<std::string> faults = codepage_name_faults(stored, args.codepage, false, &with);
  for (std::size_t i = 0; i < faults.size(); ++i) {
    if (!faults[i].empty()) {
      return refuse(in_quotes((*inputs)[i].source_path) + " and " + in_quotes((*inputs)[with[i]].source_path) +
                        " would be written over one another where the installer runs: stored as " +
                        in_quotes(printable(from_codepage(stored[i], args.codepage))) + " and " +
                        in_quotes(printable(from_codepage(stored[with[i]], args.codepage))) +
                        ", which Windows takes for the same name (or one for the folder of the other); "
                        "rename one of them",
                    exit_failed);
    }
  }
  return {};
}

// One option's text in the code page, within its bound.
Refusal stored_text(const std::string& option, const std::string& utf8, unsigned codepage,
                    std::size_t limit, std::string* out) {
  if (!to_codepage(utf8, codepage, out)) {
    return refuse(option + ": " + in_quotes(utf8) + " can't be written in code page " +
                      std::to_string(codepage) + " (--codepage chooses another)",
                  exit_usage);
  }
  if (out->size() > limit) {
    return refuse(option + " is " + std::to_string(out->size()) +
                      " bytes in code page " + std::to_string(codepage) + "; the limit is " +
                      std::to_string(limit),
                  exit_usage);
  }
  return {};
}

// The stored digest is a zero-terminated string, so it ends at its first zero byte,
// and the installer compares only that much. Below this many bytes a wrong password
// gets through too often (1 in 2^(8 * (bytes + 1))); such a password is refused.
constexpr std::size_t shortest_digest = 8;

// Only the first line is read; a file far larger is not a password file.
constexpr std::uint64_t largest_password_file = 1 << 20;
// The stub the installer starts as: tens of kilobytes; one of the maker's own may be
// far more, but a stub is read whole into memory.
constexpr std::uint64_t largest_stub = 256 << 20;

Refusal password_digest(const CreateArgs& args, std::string* digest_out) {
  std::string typed = args.password;
  std::string option = "--password";
  if (!args.password_file.empty()) {
    option = named(args, "--password-file");
    std::vector<std::uint8_t> file;
    const std::string problem = read_named_file(args.password_file, largest_password_file, &file);
    if (!problem.empty()) return refuse(option + ": " + problem, exit_failed);
    typed.assign(file.begin(), std::find(file.begin(), file.end(), '\n'));
    if (!typed.empty() && typed.back() == '\r') typed.pop_back();
  }
  std::string bytes;
  Refusal refusal = stored_text(option, typed, args.codepage, max_password_length, &bytes);
  if (refusal.refused()) return refusal;
  if (bytes.empty()) {
    return refuse(option + ": the password is empty; leave the option out for an archive without one",
                  exit_usage);
  }

  std::uint8_t digest[sha1_digest_size];
  Sha1Context context;
  sha1_init(&context);
  sha1_update(&context, bytes.data(), bytes.size());
  sha1_final(digest, &context);
  const std::size_t kept = static_cast<std::size_t>(
      std::find(digest, digest + sizeof digest, 0) - digest);
  if (kept == 0) {
    return refuse(
        "this password's SHA-1 digest starts with a zero byte, which the installer reads as "
        "'no password': please choose another password",
        exit_usage);
  }
  if (kept < shortest_digest) {
    return refuse("this password's SHA-1 digest has a zero byte at position " + std::to_string(kept + 1) +
                      ", so the installer would check only " + std::to_string(kept) +
                      " bytes of it and let many wrong passwords through: please choose another password",
                  exit_usage);
  }
  if (kept < sizeof digest) {
    std::fprintf(stderr,
                 "kelvra-pack: warning: this password's digest is cut at a zero byte; the installer "
                 "checks %zu of its 20 bytes (still about one wrong guess in 2^%zu passes)\n",
                 kept, 8 * (kept + 1));
  }
  digest_out->assign(reinterpret_cast<const char*>(digest), kept);
  if (!quiet()) {
    std::fprintf(stderr,
                 "kelvra-pack: note: the password only gates the installer; the files in it are not encrypted\n");
  }
  return {};
}

Refusal archive_strings(const CreateArgs& args, writer::Strings* strings) {
  struct Text {
    const char* option;
    const std::string& value;
    std::string* out;
    format::StringIndex index;
  };
  const Text texts[] = {
      {"--run", args.run_program, &strings->run_program, format::string_run_program},
      {"--arg1", args.run_arg1, &strings->run_arg1, format::string_run_arg1},
      {"--arg2", args.run_arg2, &strings->run_arg2, format::string_run_arg2},
      {"--prompt", args.prompt, &strings->prompt, format::string_prompt},
      {"--default-dir", args.default_dir, &strings->default_dir, format::string_default_dir},
  };
  for (const Text& text : texts) {
    Refusal refusal = stored_text(named(args, text.option), text.value, args.codepage,
                                  format::string_layout[text.index].limit, text.out);
    if (refusal.refused()) return refusal;
  }
  if (args.password_given) return password_digest(args, &strings->password_digest);
  return {};
}

Refusal compression_level(const CreateArgs& args, int* level) {
  const std::string& text = args.level;
  if (text == "max") {
    *level = writer::level_max;
  } else if (text == "ultra") {
    *level = writer::level_ultra;
  } else if (text.size() == 1 && text[0] >= '1' && text[0] <= '9') {
    *level = text[0] - '0';
  } else {
    return refuse(named(args, "--level") + ": " + in_quotes(text) + " is not 1..9, max or ultra", exit_usage);
  }
#ifdef KELVRA_ZLIB_ONLY
  if (*level > 9) {
    return refuse(named(args, "--level") + ": " + in_quotes(text) +
                      " is not available in this build (libdeflate and zopfli aren't in it): use 1..9",
                  exit_usage);
  }
#endif
  return {};
}

Refusal load_stub(const CreateArgs& args, std::vector<std::uint8_t>* stub) {
  if (args.stub_path.empty()) {
    *stub = embedded_stub();
    if (stub->empty()) return refuse("no stub is built into this kelvra-pack: give --stub FILE", exit_usage);
    return {};
  }
  const std::string problem = read_named_file(args.stub_path, largest_stub, stub);
  if (!problem.empty()) return refuse(named(args, "--stub") + ": " + problem, exit_failed);
  return {};
}

// The maker's icon, link, level and version information in the stub; a file that
// can't be used fails the run, a value that can't is a usage error.
Refusal brand_stub(const CreateArgs& args, std::vector<std::uint8_t>* stub) {
  const BrandingProblem problem = check_branding(args.branding, args.codepage);
  if (problem.found()) {
    return refuse(named(args, problem.option) + ": " + problem.text, problem.bad_file ? exit_failed : exit_usage);
  }
  const std::string error = apply_branding(args.branding, stub);
  if (!error.empty()) return refuse(error, exit_failed);
  return {};
}

// The languages' string tables and dialogs beside the English ones. Every text is
// checked against its language's code page and its place in the stub first (the
// maker's were when the project was read).
Refusal add_languages(const CreateArgs& args, std::vector<std::uint8_t>* stub) {
  std::vector<LanguageTexts> chosen;
  const std::string problem = choose_languages(args.languages, args.texts, &chosen);
  if (!problem.empty()) return refuse(named(args, "--language") + ": " + problem, exit_usage);
  for (const LanguageTexts& language : chosen) {
    for (std::size_t key = 0; key < text_key_count; ++key) {
      const std::string bad = check_text(static_cast<TextKey>(key), language.texts[key], *language.language);
      if (!bad.empty()) {
        return refuse(std::string("texts.") + language.language->tag + "." + text_key_names[key] + ": " + bad,
                      exit_usage);
      }
    }
  }
  const std::string error = apply_languages(chosen, stub);
  if (!error.empty()) return refuse(error, exit_failed);
  return {};
}

// Whether inner is folder or lies anywhere below it, links resolved.
bool lies_in(const fs::path& inner, const fs::path& folder) {
  std::error_code error;
  const fs::path a = fs::weakly_canonical(inner, error);
  if (error) return false;
  const fs::path b = fs::canonical(folder, error);
  if (error) return false;
  auto part = a.begin();
  for (const fs::path& step : b) {
    if (step.empty()) continue;  // a trailing separator
    if (part == a.end() || *part != step) return false;
    ++part;
  }
  return true;
}

// The output must be none of the files the run reads (it would be written over while
// read, or lost), nor lie in a folder that is packed (it would be packed into itself).
Refusal check_output(const CreateArgs& args) {
  if (args.output.find('\0') != std::string::npos) {
    return refuse(named(args, "--output") + ": the name holds a NUL character, where the system's would end",
                  exit_usage);
  }
  const fs::path output = system::to_path(args.output);
  std::error_code error;
  const bool exists = fs::exists(output, error);
  struct Read {
    std::string option, path;
  };
  const Read reads[] = {{"--project", args.project_file}, {named(args, "--stub"), args.stub_path}, {named(args, "--icon"), args.branding.icon}, {named(args, "--password-file"), args.password_file}, {named(args, "--depfile"), args.depfile}};
  for (const Read& read : reads) {
    if (read.path.find('\0') != std::string::npos) {
      return refuse(read.option + ": the name holds a NUL character, where the system's would end", exit_usage);
    }
    if (exists && !read.path.empty() && fs::equivalent(system::to_path(read.path), output, error)) {
      return refuse(read.option + ": " + in_quotes(read.path) + " is the output file itself: choose another output",
                    exit_usage);
    }
  }
  for (const InputItem& input : args.inputs) {
    const fs::path path = system::to_path(input.path);
    if (fs::is_directory(path, error) && lies_in(output, path)) {
      return refuse((input.origin.empty() ? "" : input.origin + ": ") + "the output " + in_quotes(args.output) +
                        " lies in the input folder " + in_quotes(input.path) +
                        ", which would pack it into itself: write it elsewhere",
                    exit_usage);
    }
  }
  return {};
}

// Reproducible installers: no stored time is later than --mtime, or than
// SOURCE_DATE_EPOCH when the option isn't given. *latest is left alone when neither is.
Refusal latest_time(const CreateArgs& args, std::uint64_t* latest) {
  std::string text = args.mtime;
  std::string source = named(args, "--mtime");
  if (text.empty()) {
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (epoch == nullptr || epoch[0] == '\0') return {};
    text = epoch;
    source = "SOURCE_DATE_EPOCH";
  }
  std::int64_t seconds = 0;
  const std::string problem = parse_time(text, &seconds);
  if (!problem.empty()) return refuse(source + ": " + in_quotes(text) + ": " + problem, exit_usage);
  *latest = filetime_from_seconds(seconds);
  return {};
}

void clamp_times(std::uint64_t latest, std::vector<writer::Input>* inputs) {
  for (writer::Input& input : *inputs) {
    input.last_write_time = std::min(input.last_write_time, latest);
    input.creation_time = std::min(input.creation_time, latest);
  }
}

}  // namespace

std::string read_named_file(const std::string& path, std::uint64_t limit, std::vector<std::uint8_t>* out) {
  out->clear();
  const std::string irregular = system::regular_file_problem(path);
  if (!irregular.empty()) return in_quotes(path) + " is " + irregular;
  std::FILE* file = system::open_file(path, "rb");
  if (file == nullptr) return "cannot read " + in_quotes(path) + ": " + system::last_error();
  std::uint64_t size = 0;
  std::string problem;
  if (!system::file_end(file, &size) || !system::seek_file(file, 0)) {
    problem = "cannot read " + in_quotes(path) + ": " + system::last_error();
  } else if (size > limit) {
    problem = in_quotes(path) + " is " + std::to_string(size) + " bytes; more than " + std::to_string(limit) +
              " can't be meant for it";
  } else {
    out->resize(static_cast<std::size_t>(size));
    if (size > 0 && std::fread(out->data(), 1, out->size(), file) != out->size()) {
      problem = "cannot read " + in_quotes(path) + ": " + system::last_error();
    }
  }
  std::fclose(file);
  if (!problem.empty()) out->clear();
  return problem;
}

int run_create(const CreateArgs& args) {
  std::vector<writer::Input> inputs;
  writer::Strings strings;
  std::vector<std::uint8_t> stub;
  writer::Options options;
  options.jobs = args.jobs;

  Refusal refusal = check_output(args);
  if (!refusal.refused()) refusal = compression_level(args, &options.level);
  if (!refusal.refused()) refusal = archive_strings(args, &strings);
  if (!refusal.refused() && !args.sign.empty()) {
    refusal = refuse(check_sign_command(args.sign, named(args, "--sign")), exit_usage);
    if (refusal.text.empty()) refusal = {};
  }
  if (!refusal.refused()) refusal = load_stub(args, &stub);
  if (!refusal.refused()) refusal = brand_stub(args, &stub);
  if (!refusal.refused()) refusal = add_languages(args, &stub);
  std::uint64_t latest = ~0ull;  // no clamp
  if (!refusal.refused()) refusal = latest_time(args, &latest);
  if (!refusal.refused()) refusal = gather(args, &inputs);
  if (refusal.refused()) {
    complain(refusal.text);
    return refusal.status;
  }

  clamp_times(latest, &inputs);
  if (args.dry_run) {
    // What the writer refuses (names, counts, sizes) is refused here as create would.
    const std::string error = writer::check_before_writing(inputs, strings, options);
    if (!error.empty()) {
      complain(error);
      return exit_failed;
    }
    print_dry_run(args, inputs, strings, stub.size());
    return exit_ok;
  }

  std::uint64_t total_in = 0;
  for (const writer::Input& input : inputs) {
    std::error_code ignored;
    total_in += fs::file_size(system::to_path(input.source_path), ignored);
  }

  options.progress = [](const writer::Progress& progress) {
    progress_update(progress.bytes_done, progress.files_done);
  };
  options.finish = write_pe_checksum;
  progress_start("compressing", total_in, static_cast<std::uint32_t>(inputs.size()));
  system::remove_on_interrupt(writer::temporary_path);
  std::string error = writer::write_installer(args.output, stub, inputs, strings, options);
  if (error.empty()) progress_update(total_in, static_cast<std::uint32_t>(inputs.size()));
  progress_finish(error.empty());
  std::error_code ignored;
  if (error.empty() && !args.sign.empty()) {
    error = sign_installer(args.sign, named(args, "--sign"), args.output, args.codepage);
    if (!error.empty()) fs::remove(system::to_path(args.output), ignored);
  }
  if (!error.empty()) {
    complain(error);
    return exit_failed;
  }
  if (!args.depfile.empty()) {
    const std::string problem = write_depfile(args.depfile, args, inputs);
    if (!problem.empty()) {
      complain(problem);
      return exit_failed;
    }
  }
  const std::uint64_t total_out = fs::file_size(system::to_path(args.output), ignored);
  std::printf("%s: %zu file%s, %" PRIu64 " bytes in; %" PRIu64 " bytes out (stub %zu, archive %" PRIu64 ")\n",
              args.output.c_str(), inputs.size(), inputs.size() == 1 ? "" : "s", total_in, total_out,
              stub.size(), total_out > stub.size() ? total_out - stub.size() : 0);
  return exit_ok;
}

}  // namespace kelvra::pack
