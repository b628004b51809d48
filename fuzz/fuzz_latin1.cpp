// Fuzzer of the UTF-8 to Latin-1 conversion of titles, checked against the C library's
// own UTF-8 decoder (iconv): a text it takes whole becomes one character for each of its
// characters, those of Latin-1 as themselves; any text comes out no longer than it went
// in, zero-terminated within the buffer, a cut text the start of the whole one, and
// ASCII as it was.

#include "latin1.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <string>
#include <vector>

namespace {

// The characters of `text` by the C library's decoder; false when it is not UTF-8.
bool decode(const std::string &text, std::vector<uint32_t> &codes) {
  static iconv_t to_utf32 = iconv_open("UTF-32LE", "UTF-8");
  // iconv_open's failure is the pointer of value -1.
  if (to_utf32 == reinterpret_cast<iconv_t>(-1)) // NOLINT(performance-no-int-to-ptr)
    abort();
  iconv(to_utf32, nullptr, nullptr, nullptr, nullptr);
  codes.clear();
  if (text.empty())
    return true;
  codes.assign(text.size(), 0);
  char *in = const_cast<char *>(text.data());
  size_t in_left = text.size();
  char *out = reinterpret_cast<char *>(codes.data());
  size_t out_left = codes.size() * sizeof(uint32_t);
  if (iconv(to_utf32, &in, &in_left, &out, &out_left) == static_cast<size_t>(-1))
    return false;
  codes.resize(codes.size() - out_left / sizeof(uint32_t));
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0)
    return 0;
  // The first byte chooses the output's size; the rest, up to a zero, is the text.
  size_t out_size = 1 + data[0] % 64;
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  text.resize(strlen(text.c_str()));
  std::vector<char> out(out_size + 1, '\x7f');
  size_t length = utf8_to_latin1(text.c_str(), out.data(), out_size);
  if (length >= out_size || out[length] != '\0' || strlen(out.data()) != length ||
      out[out_size] != '\x7f' || length > text.size())
    abort();

  std::vector<char> whole(text.size() + 1);
  size_t whole_length = utf8_to_latin1(text.c_str(), whole.data(), whole.size());
  // A cut text is the start of the whole one.
  if (memcmp(out.data(), whole.data(), length) != 0)
    abort();
  std::vector<uint32_t> codes;
  if (decode(text, codes)) {
    if (whole_length != codes.size())
      abort();
    for (size_t i = 0; i < codes.size(); ++i) {
      auto c = static_cast<unsigned char>(whole[i]);
      uint32_t code = codes[i];
      if ((code < 0x80 || code >= 0xA0) && code <= 0xFF && c != code)
        abort();
      if (code >= 0x80 && code < 0xA0 && c != ' ')
        abort();
      if (code > 0xFF && c < 0x20)
        abort();
    }
  }
  // ASCII comes out as it went in.
  bool ascii = true;
  for (char c : text)
    ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii && std::string(whole.data(), whole_length) != text)
    abort();
  return 0;
}
