#include "../sync/KyError.h"

#include <string>

#include "ErrorUtil.h"

CKyError::~CKyError() = default;

std::string CKyError::AsString() const {
  std::string text = "result=" + std::to_string(m_nResult);
  if (m_ptrDetail) {
    const FXErrorPrivate& d = *m_ptrDetail;
    text += " code=" + std::to_string(d.GetCode());
    text += " message=\"" + d.GetMessage() + "\"";
    text += " at " + d.GetFile() + ":" + std::to_string(d.GetLine()) + " (" + d.GetFunction() + ")";
  }
  return text;
}
