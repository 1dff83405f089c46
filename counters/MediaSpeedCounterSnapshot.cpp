#include "MediaSpeedCounterSnapshot.h"

#include <cstdio>

#include <zrperf/counters/internal/DurationText.h>
#include <zrperf/counters/internal/Saturating.h>

using zrfw::sat::To64;

CMediaSpeedCounterSnapshot::CMediaSpeedCounterSnapshot() = default;

unsigned long long CMediaSpeedCounterSnapshot::GetTransfers() const noexcept {
  return m_nTransfers;
}

unsigned long long CMediaSpeedCounterSnapshot::GetBytes() const noexcept {
  return To64(m_nBytes);
}

CTimeInterval CMediaSpeedCounterSnapshot::GetTime() const noexcept {
  return zrfw::sat::Interval(m_nTime);
}

double CMediaSpeedCounterSnapshot::GetThroughput() const noexcept {
  if (m_nTime == 0) return 0.0;
  // bytes per 100 ns unit, times 10^7 units per second, over 10^6 bytes per MB.
  return static_cast<double>(m_nBytes) / static_cast<double>(m_nTime) * 10.0;
}

CMediaSpeedCounterSnapshot CMediaSpeedCounterSnapshot::Since(
    const CMediaSpeedCounterSnapshot& earlier) const {
  if (earlier.m_nCounterId == 0 || earlier.m_nCounterId != m_nCounterId) return *this;
  CMediaSpeedCounterSnapshot interval;
  interval.m_nCounterId = m_nCounterId;
  interval.m_start = earlier.m_end;
  interval.m_end = m_end;
  // Each total only grows from one read to the next; the guards keep the
  // difference at 0 for a caller that swaps the two.
  interval.m_nTransfers =
      static_cast<std::uint64_t>(zrfw::sat::Sub(m_nTransfers, earlier.m_nTransfers));
  interval.m_nBytes = zrfw::sat::Sub(m_nBytes, earlier.m_nBytes);
  interval.m_nTime = zrfw::sat::Sub(m_nTime, earlier.m_nTime);
  return interval;
}

std::string CMediaSpeedCounterSnapshot::AsString() const {
  if (m_nTransfers == 0) return "transfers=0";
  std::string text =
      "transfers=" + std::to_string(m_nTransfers) + " bytes=" + std::to_string(GetBytes()) +
      " time=" + zrfw::DurationText(static_cast<std::uint64_t>(GetTime().Get100ns())) +
      " throughput=";
  if (m_nTime == 0) return text + "n/a";
  char rate[48];
  std::snprintf(rate, sizeof(rate), "%.2fMB/s", GetThroughput());
  return text + rate;
}
