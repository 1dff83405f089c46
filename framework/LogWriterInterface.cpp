#include "LogWriterInterface.h"

#include <string>

#include "StringFormat.h"

boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

CLogWriterInterface::~CLogWriterInterface() = default;

void CLogWriterInterface::WriteLog(int level, const char* function, int line, int, int,
                                   const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLogV(level, function, line, format, args);
  va_end(args);
}

void CLogWriterInterface::WriteLogV(int level, const char* function, int line, const char* format,
                                    va_list args) {
  WriteRecord(level, function, line, zrfw::FormatV(format, args));
}

void CLogWriterInterface::SetLogLevel(int level) {
  m_nLogLevel.store(level, std::memory_order_relaxed);
}

int CLogWriterInterface::GetLogLevel() { return m_nLogLevel.load(std::memory_order_relaxed); }
