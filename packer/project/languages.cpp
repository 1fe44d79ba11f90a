// The languages an installer carries. English stays the stub's own table and dialog;
// every other language gets a copy of both with its texts, under its language id.
// Once there is more than one, English moves from the neutral language to US English:
// for a lookup without a language Wine's loader takes a neutral resource before the
// user's language, so it would hide every translation; US English is the loader's
// last choice before any language at all.
#include "packer/project/languages.h"

#include <algorithm>
#include <cstdio>

#include "archive/format.h"
#include "packer/packer.h"
#include "packer/pe/image.h"
#include "packer/pe/resources.h"
#include "packer/system/system.h"
#include "resources/strings.h"

namespace kelvra::pack {

bool shipped_texts(const std::string& tag, Texts* texts);  // translations.cpp

const char* const text_key_names[text_key_count] = {
    "replace", "replace_all", "skip", "skip_all", "file_exists",
    "all_files", "new_name", "ok", "cancel", "out_of_memory",
    "corrupted", "inflating", "cancelled", "bad_password", "needs_password",
    "directory_missing", "expand_to", "password", "write_failed", "dialog_title",
    "rename", "stop_asking"};

namespace {

constexpr std::uint16_t english_us = 0x0409;

// Ours first (English, then the translations), then languages a maker may add with
// texts of their own.
const Language languages[] = {
    {"en", english_us, 1252, "English", true},
    {"de", 0x0407, 1252, "German", true},
    {"fr", 0x040C, 1252, "French", true},
    {"es", 0x0C0A, 1252, "Spanish", true},
    {"it", 0x0410, 1252, "Italian", true},
    {"pt-BR", 0x0416, 1252, "Portuguese (Brazil)", true},
    {"nl", 0x0413, 1252, "Dutch", true},
    {"pl", 0x0415, 1250, "Polish", true},
    {"cs", 0x0405, 1250, "Czech", true},
    {"ru", 0x0419, 1251, "Russian", true},
    {"uk", 0x0422, 1251, "Ukrainian", true},
    {"tr", 0x041F, 1254, "Turkish", true},
    {"ja", 0x0411, 932, "Japanese", true},
    {"ko", 0x0412, 949, "Korean", true},
    {"zh-CN", 0x0804, 936, "Chinese (Simplified)", true},
    {"zh-TW", 0x0404, 950, "Chinese (Traditional)", true},
    {"pt", 0x0816, 1252, "Portuguese (Portugal)", false},
    {"ca", 0x0403, 1252, "Catalan", false},
    {"da", 0x0406, 1252, "Danish", false},
    {"fi", 0x040B, 1252, "Finnish", false},
    {"id", 0x0421, 1252, "Indonesian", false},
    {"nb", 0x0414, 1252, "Norwegian (Bokmål)", false},
    {"sv", 0x041D, 1252, "Swedish", false},
    {"hr", 0x041A, 1250, "Croatian", false},
    {"hu", 0x040E, 1250, "Hungarian", false},
    {"ro", 0x0418, 1250, "Romanian", false},
    {"sk", 0x041B, 1250, "Slovak", false},
    {"sl", 0x0424, 1250, "Slovenian", false},
    {"bg", 0x0402, 1251, "Bulgarian", false},
    {"el", 0x0408, 1253, "Greek", false},
    {"he", 0x040D, 1255, "Hebrew", false},
    {"ar", 0x0401, 1256, "Arabic", false},
    {"et", 0x0425, 1257, "Estonian", false},
    {"lt", 0x0427, 1257, "Lithuanian", false},
    {"lv", 0x0426, 1257, "Latvian", false},
    {"vi", 0x042A, 1258, "Vietnamese", false},
    {"th", 0x041E, 874, "Thai", false},
};

// The string id of each text; 0 for the dialog's own texts.
constexpr std::uint16_t string_ids[text_key_count] = {
    IDS_REPLACE, IDS_REPLACE_ALL, IDS_SKIP, IDS_SKIP_ALL, IDS_FILE_EXISTS, IDS_ALL_FILES,
    IDS_NEW_NAME, IDS_OK, IDS_CANCEL, IDS_OUT_OF_MEMORY, IDS_CORRUPTED, IDS_INFLATING,
    IDS_CANCELLED, IDS_BAD_PASSWORD, IDS_NEEDS_PASSWORD, IDS_NO_DIRECTORY, IDS_EXPAND_TO, IDS_PASSWORD,
    IDS_WRITE_FAILED, 0, 0, 0};

const char* const english[text_key_count] = {
    TEXT_REPLACE, TEXT_REPLACE_ALL, TEXT_SKIP, TEXT_SKIP_ALL, TEXT_FILE_EXISTS, TEXT_ALL_FILES,
    TEXT_NEW_NAME, TEXT_OK, TEXT_CANCEL, TEXT_OUT_OF_MEMORY, TEXT_CORRUPTED, TEXT_INFLATING,
    TEXT_CANCELLED, TEXT_BAD_PASSWORD, TEXT_NEEDS_PASSWORD, TEXT_NO_DIRECTORY, TEXT_EXPAND_TO, TEXT_PASSWORD,
    TEXT_WRITE_FAILED, "File Exists", "Rename", "Stop asking"};

// Where a text is shown, which bounds how wide it may be: pixels at 100% in the
// dialog's font (the "File Exists" dialog) or in the system font (the main window's
// controls, which are given no font).
enum class Room { none,
                  dialog_button,
                  dialog_row,
                  dialog_caption,
                  window_control };

struct Limit {
  std::size_t bytes;  // the stub's buffer less the terminator, in the code page
  Room room;
  bool lines;  // may hold line breaks and tabs
};

constexpr std::size_t message_bytes = 259;  // the message area's buffer

Limit limit_of(TextKey key) {
  switch (key) {
    case key_replace:
    case key_replace_all:
    case key_skip:
    case key_skip_all:
    case key_rename:
      return {LABEL_BUFFER_SIZE - 1, Room::dialog_button, false};
    case key_all_files:
    case key_new_name:
      return {LABEL_BUFFER_SIZE - 1, Room::none, false};
    case key_file_exists:
      return {FILE_EXISTS_BUFFER_SIZE - 1, Room::none, true};
    case key_ok:
    case key_cancel:
      return {CAPTION_BUFFER_SIZE - 1, Room::window_control, false};
    case key_expand_to:
    case key_password:
      return {ROW_LABEL_BUFFER_SIZE - 1, Room::window_control, false};
    case key_write_failed:
      return {WRITE_FAILED_BUFFER_SIZE - 1, Room::none, false};
    case key_dialog_title:
      return {63, Room::dialog_caption, false};
    case key_stop_asking:
      return {63, Room::dialog_row, false};
    default:
      return {message_bytes, Room::none, true};
  }
}

// Pixels at 100% each room leaves for its text: a dialog button is 79 dialog units of
// a font whose average character is 6 pixels, less its margins; the check box row
// takes the dialog's width (252 units) less the box; the main window's button and
// labels are 70 pixels.
unsigned room_pixels(Room room) {
  switch (room) {
    case Room::dialog_button: return 79 * 6 / 4 - 8;
    case Room::dialog_row: return 252 * 6 / 4 - 16;
    case Room::dialog_caption: return 266 * 6 / 4 - 40;
    case Room::window_control: return 70;
    case Room::none: break;
  }
  return ~0u;
}

bool full_width(char32_t c) {
  return (c >= 0x1100 && c < 0x1200) || (c >= 0x2E80 && c < 0xA4D0) || (c >= 0xAC00 && c < 0xD7A4) ||
         (c >= 0xF900 && c < 0xFB00) || (c >= 0xFE30 && c < 0xFE50) || (c >= 0xFF00 && c < 0xFF61) ||
         (c >= 0xFFE0 && c < 0xFFE7);
}

// A generous estimate of a character's width in pixels at 100% in the dialog's 8-point
// font; the system font is a quarter wider, and full-width characters are a 16-pixel
// square there. An estimate errs wide, so a text it passes fits. In quarter pixels.
unsigned char_width(char32_t c, bool system_font) {
  if (full_width(c)) return 4 * (system_font ? 16 : 12);
  if (c >= 0xFF61 && c < 0xFFA0) return 4 * (system_font ? 8 : 6);  // half-width katakana
  unsigned width = 6;
  static const std::u32string narrow = U" .,:;'!|iIjlı", slim = U"frt()-\"", wide = U"mwмшщжюы", widest = U"MWШЩЖЮМ";
  if (narrow.find(c) != std::u32string::npos) {
    width = 3;
  } else if (slim.find(c) != std::u32string::npos) {
    width = 4;
  } else if (wide.find(c) != std::u32string::npos) {
    width = 9;
  } else if (widest.find(c) != std::u32string::npos) {
    width = 10;
  } else if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE) || (c >= 0x410 && c < 0x430) ||
             (c >= 0x100 && c < 0x180 && c % 2 == 0) || c == 0x404 || c == 0x406 || c == 0x407) {
    width = 8;
  }
  return width * (system_font ? 5 : 4);
}

std::u32string code_points(const std::u16string& text) {
  std::u32string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    out += c;
  }
  return out;
}

void put_text(std::vector<std::uint8_t>* out, const std::string& utf8) {
  std::u16string text;
  to_utf16(utf8, &text);
  for (char16_t c : text) put16(out, c);
  put16(out, 0);
}

// Dialog 101 as the resource script lays it out, in a language's texts. The dialog
// font is the one Windows maps to each language's own dialog font, and the check box
// takes the row, as translations run longer than "Stop asking".
std::vector<std::uint8_t> file_exists_dialog(const Texts& texts) {
  constexpr std::uint32_t child = 0x50000000;  // WS_CHILD | WS_VISIBLE
  constexpr std::uint32_t tab_stop = 0x00010000, group = 0x00020000;
  std::vector<std::uint8_t> out;
  // DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU
  put32(&out, 0x40 | 0x80 | 0x800 | 0x80000000u | 0x00C00000 | 0x00080000);
  put32(&out, 0);
  put16(&out, 5);
  for (std::uint16_t v : {0, 0, 266, 74}) put16(&out, v);
  put16(&out, 0);  // no menu
  put16(&out, 0);  // the dialog class
  put_text(&out, texts[key_dialog_title]);
  put16(&out, 8);
  put_text(&out, "MS Shell Dlg");
  struct Item {
    std::uint32_t style;
    std::uint16_t x, y, cx, cy, id, kind;  // kind: 0x80 button, 0x82 static
    std::string text;
  };
  const Item items[] = {
      {child | tab_stop | 1, 7, 33, 79, 17, 1001, 0x80, texts[key_replace]},  // the default button
      {child | tab_stop, 93, 33, 79, 17, 1002, 0x80, texts[key_skip]},
      {child | tab_stop, 179, 33, 79, 17, 1003, 0x80, texts[key_rename]},
      {child | tab_stop | 3, 7, 56, 252, 11, 1004, 0x80, texts[key_stop_asking]},  // an automatic check box
      {child | group | 0xC, 7, 7, 252, 16, 1006, 0x82, "Message"},                 // left, no word wrap
  };
  for (const Item& item : items) {
    while (out.size() % 4 != 0) out.push_back(0);
    put32(&out, item.style);
    put32(&out, 0);
    for (std::uint16_t v : {item.x, item.y, item.cx, item.cy, item.id}) put16(&out, v);
    put16(&out, 0xFFFF);
    put16(&out, item.kind);
    put_text(&out, item.text);
    put16(&out, 0);  // no creation data
  }
  return out;
}

bool english_untouched(const LanguageTexts& language) {
  for (std::size_t key = 0; key < text_key_count; ++key) {
    if (language.texts[key] != english[key]) return false;
  }
  return true;
}

}  // namespace

const Language* find_language(const std::string& tag) {
  for (const Language& language : languages) {
    if (tag == language.tag) return &language;
  }
  return nullptr;
}

std::vector<std::string> shipped_tags() {
  std::vector<std::string> tags;
  for (const Language& language : languages) {
    if (language.shipped) tags.push_back(language.tag);
  }
  return tags;
}

Texts builtin_texts(const Language& language) {
  Texts texts;
  if (!shipped_texts(language.tag, &texts)) {
    for (std::size_t key = 0; key < text_key_count; ++key) texts[key] = english[key];
  }
  return texts;
}

std::string check_text(TextKey key, const std::string& text, const Language& language) {
  std::u16string wide;
  if (!to_utf16(text, &wide)) return "not valid UTF-8";
  if (wide.empty()) return "an empty text";
  const Limit limit = limit_of(key);
  for (char16_t c : wide) {
    if ((c < 0x20 && !(limit.lines && (c == '\n' || c == '\t'))) || c == 0x7F) {
      return limit.lines ? "holds a control character other than a line break or a tab"
                         : "holds a control character: it is shown on one line";
    }
  }
  std::string bytes;
  if (!to_codepage(text, language.codepage, &bytes)) {
    return "can't be written in code page " + std::to_string(language.codepage) + ", the ANSI code page of " +
           language.name + " Windows, which the installer shows it in";
  }
  if (bytes.size() > limit.bytes) {
    return std::to_string(bytes.size()) + " bytes in code page " + std::to_string(language.codepage) +
           "; the installer holds at most " + std::to_string(limit.bytes);
  }
  const unsigned room = room_pixels(limit.room);
  unsigned width = 0;
  for (char32_t c : code_points(wide)) width += char_width(c, limit.room == Room::window_control);
  width = (width + 3) / 4;
  if (width > room) {
    return "about " + std::to_string(width) + " pixels wide; its place in the installer is " + std::to_string(room);
  }
  return {};
}

std::string choose_languages(const std::vector<std::string>& asked, const MakerTexts& maker,
                             std::vector<LanguageTexts>* out) {
  out->clear();
  std::vector<std::string> tags{"en"};
  auto add = [&](const std::string& tag) {
    if (std::find(tags.begin(), tags.end(), tag) == tags.end()) tags.push_back(tag);
  };
  for (const std::string& tag : asked) {
    if (tag == "all") {
      for (const std::string& shipped : shipped_tags()) add(shipped);
      continue;
    }
    const Language* language = find_language(tag);
    if (language == nullptr || !language->shipped) {
      std::string known;
      for (const std::string& shipped : shipped_tags()) known += (known.empty() ? "" : ", ") + shipped;
      return "unknown language " + in_quotes(tag) + " (built in: " + known + ", or all" +
             (language != nullptr ? "; a [texts." + tag + "] table with every text adds it" : std::string()) + ")";
    }
    add(tag);
  }
  for (const auto& table : maker) add(table.first);
  for (const std::string& tag : tags) {
    const Language* language = find_language(tag);
    if (language == nullptr) return "unknown language " + in_quotes(tag);
    LanguageTexts chosen{language, builtin_texts(*language)};
    const auto given = maker.find(tag);
    if (given != maker.end()) {
      for (std::size_t key = 0; key < text_key_count; ++key) {
        const auto text = given->second.find(text_key_names[key]);
        if (text != given->second.end()) chosen.texts[key] = text->second;
      }
    }
    out->push_back(std::move(chosen));
  }
  return {};
}

std::string apply_languages(const std::vector<LanguageTexts>& chosen, std::vector<std::uint8_t>* stub) {
  if (chosen.empty() || (chosen.size() == 1 && english_untouched(chosen.front()))) return {};
  pe::Resources resources;
  std::string problem = pe::read_resources(*stub, &resources);
  if (!problem.empty()) return "the stub's resources can't be rewritten: " + problem;

  const pe::ResourceId neutral = pe::number(0);
  const pe::ResourceId string_type = pe::number(pe::type_string), dialog_type = pe::number(5);
  // The English table and dialog as they are now (the link already the maker's).
  std::map<std::uint16_t, std::vector<std::u16string>> blocks;
  for (std::uint16_t block : {1, 2}) {
    const auto found = resources.find({string_type, pe::number(block), neutral});
    if (found == resources.end()) return "the stub's string table has no block " + std::to_string(block);
    blocks[block] = read_block(found->second);
  }
  const auto english_dialog = resources.find({dialog_type, pe::number(IDD_FILE_EXISTS), neutral});
  if (english_dialog == resources.end()) return "the stub has no dialog " + std::to_string(IDD_FILE_EXISTS);
  const std::vector<std::uint8_t> dialog_bytes = english_dialog->second;

  const bool alone = chosen.size() == 1;
  for (const LanguageTexts& language : chosen) {
    const bool is_english = language.language->langid == english_us;
    const pe::ResourceId id = alone ? neutral : pe::number(language.language->langid);
    for (auto& [block, strings] : blocks) {
      std::vector<std::u16string> texts = strings;
      for (std::size_t key = 0; key < text_key_count; ++key) {
        if (string_ids[key] == 0 || string_ids[key] / 16 + 1 != block) continue;
        to_utf16(language.texts[key], &texts[string_ids[key] % 16]);
      }
      // The code page the stub compares with the system's, to take English where the
      // ANSI functions couldn't show these texts.
      if (!is_english && block == IDS_CODE_PAGE / 16 + 1) {
        to_utf16(std::to_string(language.language->codepage), &texts[IDS_CODE_PAGE % 16]);
      }
      resources.erase({string_type, pe::number(block), neutral});
      resources[{string_type, pe::number(block), id}] = write_block(texts);
    }
    resources.erase({dialog_type, pe::number(IDD_FILE_EXISTS), neutral});
    resources[{dialog_type, pe::number(IDD_FILE_EXISTS), id}] =
        is_english && english_untouched(language) ? dialog_bytes : file_exists_dialog(language.texts);
  }
  problem = pe::replace_resources(stub, resources);
  if (!problem.empty()) return "the stub's resources can't be rewritten: " + problem;
  return {};
}

std::vector<std::string> describe_languages(const std::vector<std::uint8_t>& image) {
  pe::Resources resources;
  std::vector<std::string> tags;
  if (!pe::read_resources(image, &resources).empty()) return tags;
  // The ids the block holding the messages is written under; English is either.
  std::vector<std::uint16_t> ids;
  for (const auto& entry : resources) {
    const auto& [type, name, language] = entry.first;
    if (type != pe::number(pe::type_string) || name != pe::number(IDS_CORRUPTED / 16 + 1) || language.named) continue;
    ids.push_back(language.id == 0 ? english_us : language.id);
  }
  // In the order create takes them: English, ours, then the makers' own.
  for (const Language& language : languages) {
    const auto found = std::find(ids.begin(), ids.end(), language.langid);
    if (found == ids.end()) continue;
    tags.push_back(language.tag);
    ids.erase(found);
  }
  for (std::uint16_t id : ids) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%04X", id);
    tags.push_back(hex);
  }
  return tags;
}

}  // namespace kelvra::pack
