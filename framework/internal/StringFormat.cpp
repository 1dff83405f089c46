#include "StringFormat.h"

#include <cstdio>

namespace zrfw {

std::string FormatV(const char* format, va_list args) {
  if (format == nullptr) return std::string();
  // Most texts fit on the stack; a longer one is formatted a second time into
  // a buffer of the exact size.
  char small[512];
  va_list probe;
  va_copy(probe, args);
  const int needed = std::vsnprintf(small, sizeof(small), format, probe);
  va_end(probe);
  if (needed < 0) return std::string(format);
  if (static_cast<size_t>(needed) < sizeof(small)) {
    return std::string(small, static_cast<size_t>(needed));
  }
  std::string text(static_cast<size_t>(needed), '\0');
  std::vsnprintf(&text[0], text.size() + 1, format, args);
  return text;
}

}  // namespace zrfw
