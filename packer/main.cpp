// kelvra-pack: the maker's tool. Parses the command line and hands each subcommand
// to its module; usage errors end with status 2 before any work is done.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive/writer.h"
#include "packer/commands/create.h"
#include "packer/commands/extract.h"
#include "packer/commands/list.h"
#include "packer/commands/test.h"
#include "packer/packer.h"
#include "packer/project/project.h"
#include "packer/system/codepages.h"
#include "packer/system/progress.h"
#include "packer/system/system.h"
#include "packer/system/terminal.h"

namespace {

using namespace kelvra::pack;

const char* const password_note =
    "The password only gates the installer: the installer asks for it before it extracts "
    "anything, but the files in the archive are not encrypted and can be read without it.";

const char* const create_footer =
    "A folder adds its contents (names relative to it); a file adds itself under its own "
    "name. Names and texts are given in UTF-8 and stored in the Windows code page "
    "(--codepage); each is at most 255 bytes there, and an archive holds at most 1000 "
    "files and 4 GiB of compressed data.\n"
    "Levels: 1..9 are zlib's; 'max' is libdeflate's strongest level; 'ultra' is zopfli, "
    "the smallest but some hundreds of times slower than 9 (minutes for a few megabytes). "
    "All of them make standard zlib streams.\n";

const char* const project_footer =
    "With --project, the installer is described by a TOML file (kelvra-pack init writes a "
    "starter one); options given here win over it, and INPUTs are added to its inputs.\n";

const char* const exit_footer =
    "Exit status: 0 success, 1 a bad archive or a failed operation, 2 a usage error "
    "(the command line or the project file).";

// What the progress options fill in, for the commands that show progress.
struct ProgressArgs {
  std::string when = "auto";
  bool quiet = false;
};

void add_progress(CLI::App* command, ProgressArgs* progress) {
  command->add_option("--progress", progress->when,
                      "auto (default: a bar on a terminal, plain lines otherwise), bar, plain or none")
      ->check(CLI::IsMember({"auto", "bar", "plain", "none"}));
  command->add_flag("-q,--quiet", progress->quiet, "No progress and no line per file; errors are still told");
}

// Fills in what the command line left open from the project file. Inputs named on the
// command line come after the file's.
void apply_project(const Project& project, CLI::App* command, CreateArgs* args) {
  auto take = [&](const char* option, const auto& value, auto* out) {
    if (!value || command->get_option(option)->count() > 0) return;
    *out = *value;
    const auto where = project.where.find(option);
    if (where != project.where.end()) args->origins[option] = where->second;
  };
  take("--output", project.output, &args->output);
  take("--stub", project.stub, &args->stub_path);
  take("--run", project.run, &args->run_program);
  take("--arg1", project.arg1, &args->run_arg1);
  take("--arg2", project.arg2, &args->run_arg2);
  take("--prompt", project.prompt, &args->prompt);
  take("--default-dir", project.default_dir, &args->default_dir);
  take("--level", project.level, &args->level);
  take("--mtime", project.mtime, &args->mtime);
  take("--sign", project.sign, &args->sign);
  take("--codepage", project.codepage, &args->codepage);
  take("--jobs", project.jobs, &args->jobs);
  take("--icon", project.icon, &args->branding.icon);
  take("--link", project.link, &args->branding.link);
  take("--execution-level", project.execution_level, &args->branding.execution_level);
  take("--no-dpi-aware", project.dpi_aware, &args->branding.dpi_aware);
  // --version-info replaces the file's fields one by one; the rest of them stay.
  for (const auto& [key, value] : project.version) {
    if (args->branding.version.count(key) != 0) continue;
    args->branding.version[key] = value;
    args->origins["--version-info " + key] = project.where.at("--version-info " + key);
  }
  // --language replaces the file's list; its [texts.LANG] tables stay.
  if (project.languages && command->get_option("--language")->count() == 0) {
    args->languages = *project.languages;
    args->origins["--language"] = project.where.at("--language");
  }
  args->texts = project.texts;
  // A password on the command line replaces the file's password file.
  if (command->get_option("--password")->count() == 0) {
    take("--password-file", project.password_file, &args->password_file);
  }
  args->inputs.insert(args->inputs.begin(), project.inputs.begin(), project.inputs.end());
}

// kelvra-pack init: the starter project file, never over an existing one unless forced.
int run_init(const std::string& path, bool force) {
  std::error_code error;
  if (!force && std::filesystem::exists(system::to_path(path), error)) {
    complain(path + " exists already: give --force to replace it, or another FILE");
    return exit_failed;
  }
  std::ofstream out(system::to_path(path), std::ios::binary | std::ios::trunc);
  out << starter_project();
  out.close();
  if (!out) {
    complain("cannot write " + in_quotes(path) + ": " + system::last_error());
    return exit_failed;
  }
  std::printf("%s: written; edit it, then run: kelvra-pack create --project %s\n", path.c_str(), path.c_str());
  return exit_ok;
}

void add_codepage(CLI::App* command, unsigned* codepage) {
  command->add_option("--codepage", *codepage,
                      "Windows ANSI code page of the stored names and texts (default 1252)")
      ->check(CLI::Range(1u, 65535u));
}

int run_command_line(int argc, char** argv) {
  CLI::App app{"kelvra-pack: makes, lists, tests and extracts Kelvra self-installers.", "kelvra-pack"};
  app.set_version_flag("--version", "kelvra-pack 1.3.0");
  app.require_subcommand(1);
  app.footer(std::string(password_note) + "\n" + exit_footer);

  CreateArgs create;
  CLI::App* create_command = app.add_subcommand("create", "Make an installer: the stub, then an archive of INPUT...");
  std::string project_path;
  create_command->add_option("--project", project_path, "Read the installer's description from this TOML file");
  create_command->add_option("-o,--output", create.output, "The installer to write (required, here or in the project file)");
  create_command->add_option("--stub", create.stub_path,
                             embedded_stub().empty() ? "The stub program (required: none is built in)"
                                                     : "The stub program (default: the one built in)");
  create_command->add_option("--run", create.run_program, "Program to start after extraction, in the target directory");
  create_command->add_option("--arg1", create.run_arg1, "Its first argument");
  create_command->add_option("--arg2", create.run_arg2, "Its second argument");
  create_command->add_option("--prompt", create.prompt, "Text shown while the target directory is asked for");
  CLI::Option* password = create_command->add_option(
      "--password", create.password, "Password the installer asks for (it gates, it does not encrypt)");
  CLI::Option* password_file = create_command->add_option(
      "--password-file", create.password_file, "Read the password from the first line of FILE");
  password->excludes(password_file);
  create_command->add_option("--default-dir", create.default_dir,
                             "Proposed target directory (default: the user's TEMP)");
  create_command->add_option("--level", create.level, "Compression: 1..9, max or ultra (default 9)");
  create_command->add_option("--mtime", create.mtime,
                             "Clamp file times: any later than TIME becomes TIME (seconds since 1970, or an "
                             "ISO 8601 UTC date); default: SOURCE_DATE_EPOCH when set");
  create_command->add_option("--sign", create.sign,
                             "Run COMMAND on the finished installer: {in} is the installer, {out} the signed "
                             "file it writes, which replaces it");
  create_command->add_option("--icon", create.branding.icon,
                             "The installer's icon: an .ico file, every image of it (default: the stub's)");
  create_command->add_option("--link", create.branding.link,
                             "The web address the installer's window shows and opens: http:// or https://, at "
                             "most 59 characters of the code page");
  create_command->add_option("--execution-level", create.branding.execution_level,
                             "asInvoker (default), highestAvailable or requireAdministrator");
  bool no_dpi_aware = false;
  create_command->add_flag("--no-dpi-aware", no_dpi_aware,
                           "Leave the window's scaling to Windows (stretched, blurry at high DPI) instead of "
                           "scaling it to each monitor's DPI");
  create_command->add_option("--language", create.languages,
                             "Also carry this language's texts (de, fr, es, it, pt-BR, nl, pl, cs, ru, uk, tr, ja, "
                             "ko, zh-CN, zh-TW, or all); Windows shows the user's, else English; may be repeated")
      ->allow_extra_args(false);
  std::vector<std::string> version_info;
  create_command->add_option("--version-info", version_info,
                             "KEY=VALUE of the installer's version information (product_name, product_version, "
                             "file_version, company, copyright, description); may be repeated")
      ->allow_extra_args(false);
  create_command->add_option("--jobs", create.jobs, "Compression threads (default: all cores)")
      ->check(CLI::Range(1u, 256u));
  add_codepage(create_command, &create.codepage);
  std::vector<std::string> excludes;
  create_command->add_option("--exclude", excludes,
                             "Leave out what matches PATTERN in every input (* and ? within a name, ** across "
                             "folders); may be repeated")
      ->allow_extra_args(false);  // one pattern each time, so INPUTs after it stay INPUTs
  create_command->add_flag("--dry-run", create.dry_run,
                           "Check everything and print the entries and settings; write nothing");
  create_command->add_option("--depfile", create.depfile,
                             "Also write a make-style list of the files read, for build tools");
  ProgressArgs progress;
  add_progress(create_command, &progress);
  std::vector<std::string> input_paths;
  create_command->add_option("INPUT", input_paths, "Files and folders to store");
  create_command->footer(std::string(create_footer) + project_footer + password_note);

  std::string init_path = "kelvra.toml";
  bool init_force = false;
  CLI::App* init_command = app.add_subcommand("init", "Write a commented starter project file for create --project");
  init_command->add_option("FILE", init_path, "The file to write (default: kelvra.toml)");
  init_command->add_flag("--force", init_force, "Replace the file when it exists");

  std::string list_path;
  bool list_json = false;
  unsigned list_codepage = default_codepage;
  CLI::App* list_command = app.add_subcommand("list", "List the entries and texts of an installer");
  list_command->add_option("FILE", list_path, "The installer")->required();
  list_command->add_flag("--json", list_json, "Print JSON instead of a table");
  add_codepage(list_command, &list_codepage);

  std::string test_path;
  unsigned test_codepage = default_codepage;
  CLI::App* test_command = app.add_subcommand(
      "test", "Check the checksum and inflate every chunk; prints OK or the first problem");
  test_command->add_option("FILE", test_path, "The installer")->required();
  add_codepage(test_command, &test_codepage);
  unsigned test_jobs = 0;
  test_command->add_option("--jobs", test_jobs, "Inflating threads (default: all cores)")
      ->check(CLI::Range(1u, 256u));
  add_progress(test_command, &progress);

  ExtractArgs extract;
  CLI::App* extract_command = app.add_subcommand(
      "extract", "Extract as the installer would, into DIR; the after-run program is shown, not started");
  extract_command->add_option("FILE", extract.archive, "The installer")->required();
  extract_command->add_option("-C,--directory", extract.directory, "Target directory, which must exist (default: .)");
  extract_command->add_option("--overwrite", extract.overwrite,
                              "What to do with existing files: ask (default; needs a terminal), replace or skip")
      ->check(CLI::IsMember({"ask", "replace", "skip"}));
  CLI::Option* extract_password =
      extract_command->add_option("--password", extract.password, "The archive's password (else asked on a terminal)");
  add_codepage(extract_command, &extract.codepage);
  add_progress(extract_command, &progress);
  extract_command->footer(password_note);

  // Windows hands the arguments over in UTF-16; the packer works in UTF-8.
  const std::vector<std::string> arguments = system::arguments(argc, argv);
  std::vector<const char*> argument_texts;
  for (const std::string& argument : arguments) argument_texts.push_back(argument.c_str());
  try {
    app.parse(static_cast<int>(argument_texts.size()), argument_texts.data());
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? exit_ok : exit_usage;
  }
  choose_progress(progress.when, progress.quiet);
  if (*init_command) return run_init(init_path, init_force);

  if (*create_command) {
    if (no_dpi_aware) create.branding.dpi_aware = false;
    for (const std::string& pair : version_info) {
      const std::size_t equals = pair.find('=');
      if (equals == std::string::npos || equals == 0) {
        complain("--version-info: expected KEY=VALUE, like product_name=My App; got " + in_quotes(pair));
        return exit_usage;
      }
      create.branding.version[pair.substr(0, equals)] = pair.substr(equals + 1);
    }
    if (!project_path.empty()) {
      Project project;
      const std::string problem = load_project(project_path, &project);
      if (!problem.empty()) {
        complain(problem);
        return exit_usage;
      }
      apply_project(project, create_command, &create);
      create.project_file = project_path;
    }
    for (const std::string& path : input_paths) create.inputs.push_back({path, {}, {}, {}});
    for (const std::string& pattern : excludes) {
      std::string problem;
      create.excludes.push_back(clean_pattern(pattern, &problem));
      if (!problem.empty()) {
        complain("--exclude: " + problem);
        return exit_usage;
      }
    }
    if (create.output.empty()) {
      complain("no installer to write: give -o FILE, or 'output' in the project file");
      return exit_usage;
    }
  }

  unsigned codepage = create.codepage;
  if (*list_command) codepage = list_codepage;
  if (*test_command) codepage = test_codepage;
  if (*extract_command) codepage = extract.codepage;
  if (!codepage_known(codepage)) {
    complain("--codepage: code page " + std::to_string(codepage) +
             " is not known to this system; Windows ANSI code pages are 874, 932, 936, 949, 950 and 1250..1258");
    return exit_usage;
  }
  if (!codepage_keeps_ascii(codepage)) {
    complain("--codepage: code page " + std::to_string(codepage) +
             " does not keep ASCII as it is (as EBCDIC and some national code pages don't), so no Windows names "
             "files in it; "
             "Windows ANSI code pages are 874, 932, 936, 949, 950 and 1250..1258");
    return exit_usage;
  }

  if (*create_command) {
    create.password_given =
        password->count() > 0 || password_file->count() > 0 || !create.password_file.empty();
    return run_create(create);
  }
  if (*list_command) return run_list(list_path, list_json, list_codepage);
  if (*test_command) return run_test(test_path, test_codepage, test_jobs);
  extract.password_given = extract_password->count() > 0;
  return run_extract(extract);
}

}  // namespace

// What a library throws (memory running out, a path the file system refuses) ends the
// run with its message and status 1, not with an abort.
int main(int argc, char** argv) {
  try {
    return run_command_line(argc, argv);
  } catch (const std::exception& error) {
    complain(error.what());
  }
  return exit_failed;
}
