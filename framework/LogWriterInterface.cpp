#include "LogWriterInterface.h"

#include <boost/smart_ptr/shared_ptr.hpp>
#include <string>

#include "internal/StringFormat.h"

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

namespace zrfw {

// boost::atomic_load/atomic_store for shared_ptr go through a small pool of
// spin locks keyed by the pointer's address: a copy costs two uncontended
// lock operations and a reference-count increment, and no reader ever sees
// a half-written pointer or a sink destroyed under it.
boost::shared_ptr<CLogWriterInterface> LoadLogWriter() noexcept {
  return boost::atomic_load(&g_ptrLogWriter);
}

void StoreLogWriter(boost::shared_ptr<CLogWriterInterface> sink) noexcept {
  boost::atomic_store(&g_ptrLogWriter, std::move(sink));
}

void SendLog(LevelRule rule, int level, const char* function, int line, const char* format, ...) {
  const boost::shared_ptr<CLogWriterInterface> sink = LoadLogWriter();
  if (!sink) return;
  if (rule == LevelRule::kIfAdmitted && sink->GetLogLevel() < level) return;
  va_list args;
  va_start(args, format);
  std::string message;
  try {
    message = FormatV(format, args);
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
  // Through WriteLog, as every caller used to write, so that a sink that
  // overrides WriteLog itself still sees every record.
  sink->WriteLog(level, function, line, 0, 0, "%s", message.c_str());
}

}  // namespace zrfw
