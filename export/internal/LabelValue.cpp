#include "LabelValue.h"

#include <cstddef>
#include <cstring>

namespace zrprom {

namespace {

// The length of the well-formed UTF-8 sequence of more than one byte that
// starts at `s[i]` (the ranges of RFC 3629, table 3-7 of the Unicode
// standard), or 0 when there is none.
std::size_t MultiByteSequence(const unsigned char* s, std::size_t i, std::size_t n) {
  const unsigned char b = s[i];
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    length = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3;
    if (b == 0xE0) low = 0xA0;   // no overlong forms
    if (b == 0xED) high = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4;
    if (b == 0xF0) low = 0x90;   // no overlong forms
    if (b == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (n - i < length) return 0;
  if (s[i + 1] < low || s[i + 1] > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (s[i + k] < 0x80 || s[i + k] > 0xBF) return 0;
  }
  return length;
}

}  // namespace

std::string LabelValueOf(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  const std::size_t n = std::strlen(name.c_str());  // up to the first NUL
  const unsigned char* s = reinterpret_cast<const unsigned char*>(name.data());
  std::string value;
  value.reserve(n);
  for (std::size_t i = 0; i < n;) {
    const unsigned char b = s[i];
    if (b >= 0x20 && b < 0x7F && b != '%') {
      value.push_back(static_cast<char>(b));
      ++i;
      continue;
    }
    const std::size_t length = b >= 0x80 ? MultiByteSequence(s, i, n) : 0;
    if (length > 0) {
      value.append(name, i, length);
      i += length;
      continue;
    }
    value.push_back('%');
    value.push_back(kHex[b >> 4]);
    value.push_back(kHex[b & 0x0F]);
    ++i;
  }
  return value;
}

}  // namespace zrprom
