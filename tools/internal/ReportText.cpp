#include "ReportText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include <zrperf/util/internal/RecordText.h>
#include <zrperf/util/internal/Utf8.h>

namespace zrreport {

namespace {

const char kHex[] = "0123456789abcdef";

// The characters that show as nothing, or that reorder or split the text
// around them, so that a name holding one could pose as another: Unicode's
// format characters (general category Cf, Unicode 15.0: the bidirectional
// embeddings, overrides and isolates, zero-width spaces and joiners, the
// byte order mark, the soft hyphen, tag characters, ...) and the line and
// paragraph separators (U+2028, U+2029).
struct CodeRange {
  char32_t first, last;
};
constexpr CodeRange kInvisible[] = {
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
    {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
    {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},
    {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
    {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F},
};

// The code point of the well-formed sequence of `length` bytes at `at`.
char32_t CodePoint(const std::string& text, std::size_t at, std::size_t length) {
  static const unsigned char kLead[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t c = static_cast<unsigned char>(text[at]) & kLead[length];
  for (std::size_t k = 1; k < length; ++k) {
    c = (c << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3F);
  }
  return c;
}

// Whether the code point is escaped in the shown form: a C1 control
// character (U+0080..U+009F, which terminals obey) or one of kInvisible.
bool Hidden(char32_t c) {
  if (c >= 0x80 && c <= 0x9F) return true;
  for (const CodeRange& range : kInvisible) {
    if (c >= range.first && c <= range.last) return true;
  }
  return false;
}

// The length of the well-formed UTF-8 sequence at `at` (at < text.size()),
// or 0 where none starts there or, unless `hidden`, where it is a character
// that Hidden() names.
std::size_t Utf8Length(const std::string& text, std::size_t at, bool hidden) {
  const std::size_t length = zrperf::Utf8SequenceAt(text, at);
  if (hidden || length < 2) return length;
  return Hidden(CodePoint(text, at, length)) ? 0 : length;
}

void AppendHexEscape(std::string& out, unsigned char c) {
  out += "\\x";
  out += kHex[c >> 4];
  out += kHex[c & 0xF];
}

}  // namespace

std::string ShownName(const std::string& bytes) {
  // The records' form first; it leaves bytes from 0x80 up as they are, and
  // its backslashes read left to right as UnescapeRecordText() reads them.
  const std::string escaped = zrperf::EscapeRecordText(bytes);
  std::string out;
  out.reserve(escaped.size());
  std::size_t i = 0;
  while (i < escaped.size()) {
    const unsigned char c = static_cast<unsigned char>(escaped[i]);
    if (c == '\\') {
      const unsigned char next =
          i + 1 < escaped.size() ? static_cast<unsigned char>(escaped[i + 1]) : 0;
      std::size_t token = 1;  // a lone backslash
      if (next == '\\' || next == 'n' || next == 'r' || next == 't') token = 2;
      if (next == 'x') token = 4;  // the records double a lone "\x"
      out.append(escaped, i, token);
      // A lone backslash before a byte escaped below reads as the start of
      // that escape: double it, as the records do before theirs.
      if (token == 1 && next >= 0x80 && Utf8Length(escaped, i + 1, false) == 0) out += '\\';
      i += token;
      continue;
    }
    const std::size_t length = Utf8Length(escaped, i, false);
    if (length == 0) {
      AppendHexEscape(out, c);
      ++i;
    } else {
      out.append(escaped, i, length);
      i += length;
    }
  }
  return out;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else if (c >= 0x80) {
      const std::size_t length = Utf8Length(text, i, true);
      if (length == 0) {
        out += "\\ufffd";
        ++i;
      } else {
        out.append(text, i, length);
        i += length;
      }
      continue;
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out + "\"";
}

std::string JsonNumber(double value, int decimals) {
  if (!std::isfinite(value)) return "null";
  char text[400];
  std::snprintf(text, sizeof(text), "%.*f", decimals, value);
  return text;
}

std::string HtmlText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const std::size_t length = Utf8Length(text, i, false);
      out.append(length == 0 ? std::string("\xef\xbf\xbd") : text.substr(i, length));
      i += length == 0 ? std::max<std::size_t>(Utf8Length(text, i, true), 1) : length;
      continue;
    }
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += (c < 0x20 && c != '\t' && c != '\n') || c == 0x7F ? std::string("\xef\xbf\xbd")
                                                                 : std::string(1, text[i]);
    }
    ++i;
  }
  return out;
}

std::string CsvCell(const std::string& text) {
  const bool formula = !text.empty() && (text[0] == '=' || text[0] == '+' || text[0] == '-' ||
                                         text[0] == '@' || text[0] == '\t' || text[0] == '\r');
  if (!formula && text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = formula ? "\"'" : "\"";
  for (const char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

std::string IsoTime(double unix, bool millis) {
  const long long ms = std::llround(unix * 1000.0);
  const std::time_t whole = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
  std::tm utc{};
  gmtime_r(&whole, &utc);
  char text[40];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
  std::string out = text;
  if (millis) {
    char fraction[8];
    std::snprintf(fraction, sizeof(fraction), ".%03lld", ((ms % 1000) + 1000) % 1000);
    out += fraction;
  }
  return out + "Z";
}

}  // namespace zrreport
