#include "LabelValue.h"

#include <cstddef>
#include <cstring>
#include <string_view>

#include <zrperf/util/internal/Utf8.h>

namespace zrexport {

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
    const std::size_t length =
        b >= 0x80 ? zrperf::Utf8SequenceAt(std::string_view(name.data(), n), i) : 0;
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

}  // namespace zrexport
