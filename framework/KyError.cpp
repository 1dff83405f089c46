#include <zrperf/sync/KyError.h>

#include <cstdio>
#include <string>

#include "ErrorUtil.h"

namespace {

// Appends `text` with quotes, backslashes and control characters escaped, so
// that the result stays on one line and the message's end is unambiguous.
void AppendEscaped(std::string* out, const std::string& text) {
  for (const char c : text) {
    switch (c) {
      case '\\':
        *out += "\\\\";
        break;
      case '"':
        *out += "\\\"";
        break;
      case '\n':
        *out += "\\n";
        break;
      case '\r':
        *out += "\\r";
        break;
      case '\t':
        *out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == '\x7F') {
          char hex[5];
          std::snprintf(hex, sizeof(hex), "\\x%02X", static_cast<unsigned char>(c));
          *out += hex;
        } else {
          *out += c;
        }
    }
  }
}

}  // namespace

CKyError::~CKyError() = default;

std::string CKyError::AsString() const {
  std::string text = "result=" + std::to_string(m_nResult);
  if (m_ptrDetail) {
    const FXErrorPrivate& d = *m_ptrDetail;
    text += " code=" + std::to_string(d.GetCode());
    text += " message=\"";
    AppendEscaped(&text, d.GetMessage());
    text += "\" at ";
    AppendEscaped(&text, d.GetFile());
    text += ":" + std::to_string(d.GetLine()) + " (";
    AppendEscaped(&text, d.GetFunction());
    text += ")";
  }
  return text;
}
