#include "Utf8.h"

namespace zrperf {

std::size_t Utf8SequenceAt(std::string_view text, std::size_t at) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  const unsigned char b = s[at];
  if (b < 0x80) return 1;
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
  if (n - at < length) return 0;
  if (s[at + 1] < low || s[at + 1] > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (s[at + k] < 0x80 || s[at + k] > 0xBF) return 0;
  }
  return length;
}

bool IsUtf8(std::string_view text) noexcept {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = Utf8SequenceAt(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

}  // namespace zrperf
