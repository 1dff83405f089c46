// CTimeInterval: a duration, stored as a signed 64-bit count of 100-nanosecond units.
//
// A plain value type: copying copies the count. Every operation is constexpr and
// noexcept; the type is safe to share between threads like any integer.

#ifndef ZRPERF_SYNC_TIMEINTERVAL_H_
#define ZRPERF_SYNC_TIMEINTERVAL_H_

class CTimeInterval {
 public:
  // Units of the stored count per larger unit.
  static constexpr long long kUnitsPerMicrosecond = 10;
  static constexpr long long kUnitsPerMillisecond = 10'000;
  static constexpr long long kUnitsPerSecond = 10'000'000;

  // A zero interval.
  constexpr CTimeInterval() noexcept : m_ll100ns(0) {}

  // Stores `units100ns` unchanged (it may be negative).
  constexpr CTimeInterval(long long units100ns) noexcept : m_ll100ns(units100ns) {}  // NOLINT

  ~CTimeInterval() = default;
  constexpr CTimeInterval(const CTimeInterval&) noexcept = default;
  constexpr CTimeInterval& operator=(const CTimeInterval&) noexcept = default;

  // REQUIRES: seconds * 10,000,000 fits in 64 bits.
  static constexpr CTimeInterval FromSeconds(long long seconds) noexcept {
    return CTimeInterval(seconds * kUnitsPerSecond);
  }
  // REQUIRES: milliseconds * 10,000 fits in 64 bits.
  static constexpr CTimeInterval FromMilliseconds(long long milliseconds) noexcept {
    return CTimeInterval(milliseconds * kUnitsPerMillisecond);
  }
  // Rounds down to whole 100 ns units.
  static constexpr CTimeInterval FromNanoseconds(long long nanoseconds) noexcept {
    return CTimeInterval(nanoseconds / 100);
  }

  // The stored count of 100-nanosecond units.
  constexpr long long Get100ns() const noexcept { return m_ll100ns; }
  // Whole milliseconds and seconds, truncated toward zero.
  constexpr long long GetMilliseconds() const noexcept { return m_ll100ns / kUnitsPerMillisecond; }
  constexpr long long GetSeconds() const noexcept { return m_ll100ns / kUnitsPerSecond; }

  friend constexpr bool operator==(CTimeInterval a, CTimeInterval b) noexcept {
    return a.m_ll100ns == b.m_ll100ns;
  }
  friend constexpr bool operator!=(CTimeInterval a, CTimeInterval b) noexcept {
    return a.m_ll100ns != b.m_ll100ns;
  }
  friend constexpr bool operator<(CTimeInterval a, CTimeInterval b) noexcept {
    return a.m_ll100ns < b.m_ll100ns;
  }
  friend constexpr bool operator<=(CTimeInterval a, CTimeInterval b) noexcept {
    return a.m_ll100ns <= b.m_ll100ns;
  }
  friend constexpr bool operator>(CTimeInterval a, CTimeInterval b) noexcept {
    return a.m_ll100ns > b.m_ll100ns;
  }
  friend constexpr bool operator>=(CTimeInterval a, CTimeInterval b) noexcept {
    return a.m_ll100ns >= b.m_ll100ns;
  }

 private:
  long long m_ll100ns;
};

#endif  // ZRPERF_SYNC_TIMEINTERVAL_H_
