// The installer as the maker's own Windows program: icon, version information,
// execution level and web address, written into the stub's resources before the
// archive is appended; and, for list, what an installer's resources say where they
// differ from what create writes by default.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kelvra::pack {

struct Branding {
  std::string icon;                            // an .ico file; empty: the stub's own
  std::string link;                            // empty: the stub's own address
  std::string execution_level;                 // empty: the stub's own (asInvoker)
  std::map<std::string, std::string> version;  // product_name, file_version, ...; empty: ours
  bool dpi_aware = true;                       // false: the manifest loses its DPI settings, so Windows scales the window
};

// UTF-8 as UTF-16; false when it isn't valid UTF-8.
bool to_utf16(const std::string& utf8, std::u16string* out);
// One code point appended as UTF-8.
void append_utf8(std::string* out, std::uint32_t code);
// Little-endian values appended to a resource being built.
void put16(std::vector<std::uint8_t>* out, std::uint16_t v);
void put32(std::vector<std::uint8_t>* out, std::uint32_t v);
// A string-table block: sixteen counted UTF-16 strings (id n is string n % 16 of block
// n / 16 + 1), read and written.
std::vector<std::u16string> read_block(const std::vector<std::uint8_t>& block);
std::vector<std::uint8_t> write_block(const std::vector<std::u16string>& strings);

// The keys of [version] / --version-info, in the order list shows them.
extern const char* const version_keys[6];

// What is wrong with one value: the option it came from ("--link", or
// "--version-info file_version"), the reason, and whether it was a file that could
// not be used (else the value itself).
struct BrandingProblem {
  std::string option;
  std::string text;
  bool bad_file = false;
  bool found() const { return !text.empty(); }
};

// Checks every value and reads the icon file, without touching the stub. codepage is
// the installer's: the link must be written in it.
BrandingProblem check_branding(const Branding& branding, unsigned codepage);

// Rewrites the stub's resources (call check_branding first). A stub whose resources
// can't be rewritten is left as it is when nothing was asked of it; else the reason.
std::string apply_branding(const Branding& branding, std::vector<std::uint8_t>* stub);

struct IconSize {
  unsigned width = 0, height = 0, bit_count = 0;
};

// What an installer's resources say where they differ from what create writes when
// nothing is asked; each part empty where they don't.
struct BrandingFacts {
  std::vector<IconSize> icon;  // the images of icon 102
  std::string link, execution_level;
  std::vector<std::pair<std::string, std::string>> version;  // key of [version], value
  bool dpi_unaware = false;                                  // a manifest without the DPI settings
  bool empty() const {
    return icon.empty() && link.empty() && execution_level.empty() && version.empty() && !dpi_unaware;
  }
};

// image: the installer's bytes in front of its archive (the stub). A file that is no
// PE program, or whose resources can't be read, says nothing.
BrandingFacts describe_branding(const std::vector<std::uint8_t>& image);

}  // namespace kelvra::pack
