#include "LogWriterInterface.h"

#include <string>

#include "StringFormat.h"

boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

CLogWriterInterface::~CLogWriterInterface() = default;

void CLogWriterInterface::WriteLog(int level, const char* function, int line, int, int,
                                   const char* format, ...) {
  // The text is finished and the argument list closed before the record goes
  // to WriteRecord(), so a sink that throws leaves no va_list open.
  va_list args;
  va_start(args, format);
  std::string message;
  try {
    message = zrfw::FormatV(format, args);
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
  WriteRecord(level, function, line, message);
}

void CLogWriterInterface::WriteLogV(int level, const char* function, int line, const char* format,
                                    va_list args) {
  WriteRecord(level, function, line, zrfw::FormatV(format, args));
}

void CLogWriterInterface::SetLogLevel(int level) {
  m_nLogLevel.store(level, std::memory_order_relaxed);
}

int CLogWriterInterface::GetLogLevel() {
  return m_nLogLevel.load(std::memory_order_relaxed);
}
