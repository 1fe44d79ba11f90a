// The installer in the user's language: the texts of every language we ship, the
// maker's own texts, the checks they pass before anything is written, and the string
// tables and dialogs the packer writes for them beside the English ones. Windows'
// resource loader picks among them by the user's UI language.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kelvra::pack {

// Every text the user can read in a language, by the key a project's [texts.LANG]
// table names it with.
enum TextKey : std::size_t {
  key_replace,
  key_replace_all,
  key_skip,
  key_skip_all,
  key_file_exists,
  key_all_files,
  key_new_name,
  key_ok,
  key_cancel,
  key_out_of_memory,
  key_corrupted,
  key_inflating,
  key_cancelled,
  key_bad_password,
  key_needs_password,
  key_directory_missing,
  key_expand_to,
  key_password,
  key_write_failed,
  key_dialog_title,
  key_rename,
  key_stop_asking,
  text_key_count
};
extern const char* const text_key_names[text_key_count];

using Texts = std::array<std::string, text_key_count>;  // UTF-8

// A language an installer can carry: its tag ("de", "pt-BR"), Windows language id and
// usual ANSI code page, and whether we ship its texts.
struct Language {
  const char* tag;
  std::uint16_t langid;
  unsigned codepage;
  const char* name;  // in English, for messages and list
  bool shipped;
};
// nullptr for a tag we don't know.
const Language* find_language(const std::string& tag);
// The tags we ship texts for, English first.
std::vector<std::string> shipped_tags();
// English's texts, or a shipped language's.
Texts builtin_texts(const Language& language);

// Why text can't stand for key in language (its code page, its buffer in the stub,
// the room its control leaves); empty when it can.
std::string check_text(TextKey key, const std::string& text, const Language& language);

// One language as the installer will carry it.
struct LanguageTexts {
  const Language* language;
  Texts texts;
};

// The maker's [texts.LANG] tables: by tag, key -> text; checked when read.
using MakerTexts = std::map<std::string, std::map<std::string, std::string>>;

// The languages to write: English, then those asked for ("all" for every one we ship)
// and those the maker gives texts for, each with the maker's texts over ours. Empty on
// success, else the reason (an unknown tag).
std::string choose_languages(const std::vector<std::string>& asked, const MakerTexts& maker,
                             std::vector<LanguageTexts>* out);

// Writes every language but an untouched English into the stub's resources. With
// nothing but English and no text of the maker's, the stub is left byte for byte as
// it was. Empty on success, else the reason.
std::string apply_languages(const std::vector<LanguageTexts>& languages, std::vector<std::uint8_t>* stub);

// The tags of the languages an installer's resources hold, English first; empty for
// a program whose resources can't be read.
std::vector<std::string> describe_languages(const std::vector<std::uint8_t>& image);

}  // namespace kelvra::pack
