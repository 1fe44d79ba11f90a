// Names and texts arrive in UTF-8 and are stored in a Windows ANSI code page; iconv
// does both directions, refusing what the code page can't hold on the way in.
#include <iconv.h>

#include <cerrno>
#include <string>

#include "packer/packer.h"

namespace kelvra::pack {

namespace {

std::string iconv_name(unsigned codepage) { return "CP" + std::to_string(codepage); }

// Runs the whole text through one conversion; false at the first byte it refuses,
// with *stopped at that byte's offset.
bool convert(iconv_t cd, const std::string& in, std::string* out, std::size_t* stopped) {
  out->clear();
  char* in_at = const_cast<char*>(in.data());
  std::size_t in_left = in.size();
  char buffer[1024];
  for (;;) {
    char* out_at = buffer;
    std::size_t out_left = sizeof buffer;
    const std::size_t result = in_left == 0 ? iconv(cd, nullptr, nullptr, &out_at, &out_left)
                                            : iconv(cd, &in_at, &in_left, &out_at, &out_left);
    out->append(buffer, static_cast<std::size_t>(out_at - buffer));
    if (result != static_cast<std::size_t>(-1)) {
      if (in_left == 0) return true;
      continue;
    }
    if (errno == E2BIG) continue;
    *stopped = in.size() - in_left;
    return false;
  }
}

}  // namespace

bool codepage_known(unsigned codepage) {
  iconv_t cd = iconv_open(iconv_name(codepage).c_str(), "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(cd);
  return true;
}

bool to_codepage(const std::string& utf8, unsigned codepage, std::string* out) {
  iconv_t cd = iconv_open(iconv_name(codepage).c_str(), "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::size_t stopped = 0;
  const bool ok = convert(cd, utf8, out, &stopped);
  iconv_close(cd);
  return ok;
}

std::string from_codepage(const std::string& bytes, unsigned codepage) {
  iconv_t cd = iconv_open("UTF-8", iconv_name(codepage).c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return bytes;
  std::string result;
  std::string rest = bytes;
  for (;;) {
    std::string part;
    std::size_t stopped = 0;
    const bool ok = convert(cd, rest, &part, &stopped);
    result += part;
    if (ok) break;
    // A byte the code page leaves undefined (or half a double-byte character).
    result += "\xEF\xBF\xBD";
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    rest.erase(0, stopped + 1);
  }
  iconv_close(cd);
  return result;
}

}  // namespace kelvra::pack
