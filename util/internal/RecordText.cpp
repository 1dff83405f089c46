#include "RecordText.h"

namespace zrperf {

namespace {

bool IsControl(unsigned char c) {
  return c < 0x20 || c == 0x7F;
}

// True when a backslash followed by `next` would read as an escape sequence.
bool StartsEscape(unsigned char next) {
  return next == '\\' || next == 'n' || next == 'r' || next == 't' || next == 'x' ||
         IsControl(next);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void AppendRecordText(std::string& out, const char* text, std::size_t length) {
  static const char kHex[] = "0123456789abcdef";
  std::size_t plain = 0;  // start of the run of bytes copied as they are
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const bool doubled =
        c == '\\' && i + 1 < length && StartsEscape(static_cast<unsigned char>(text[i + 1]));
    if (!doubled && !IsControl(c)) continue;
    out.append(text + plain, i - plain);
    plain = i + 1;
    out += '\\';
    switch (c) {
      case '\\':
        out += '\\';
        break;
      case '\n':
        out += 'n';
        break;
      case '\r':
        out += 'r';
        break;
      case '\t':
        out += 't';
        break;
      default:
        out += 'x';
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
  }
  out.append(text + plain, length - plain);
}

std::string EscapeRecordText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  AppendRecordText(out, text.data(), text.size());
  return out;
}

std::string UnescapeRecordText(const std::string& escaped) {
  std::string out;
  out.reserve(escaped.size());
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    const char c = escaped[i];
    if (c != '\\' || i + 1 == escaped.size()) {
      out += c;
      continue;
    }
    const char next = escaped[i + 1];
    if (next == '\\') {
      out += '\\';
    } else if (next == 'n') {
      out += '\n';
    } else if (next == 'r') {
      out += '\r';
    } else if (next == 't') {
      out += '\t';
    } else if (next == 'x' && i + 3 < escaped.size() && HexValue(escaped[i + 2]) >= 0 &&
               HexValue(escaped[i + 3]) >= 0) {
      out += static_cast<char>(HexValue(escaped[i + 2]) * 16 + HexValue(escaped[i + 3]));
      i += 2;
    } else {
      out += c;  // a lone backslash
      continue;
    }
    ++i;
  }
  return out;
}

}  // namespace zrperf
