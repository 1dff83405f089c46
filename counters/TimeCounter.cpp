#include "TimeCounter.h"

#include <new>

#include "internal/DurationText.h"

using zrfw::LoadRelaxed;
using zrfw::StoreRelaxed;

struct CTimeCounter::Slot : zrfw::ThreadSlot {
  Slot(zrfw::SlotOwner* owner, CTimeCounter* counter) noexcept
      : zrfw::ThreadSlot(owner), m_pCounter(counter) {}
  void Fold() noexcept override {
    m_pCounter->m_owner.Mutex().AssertHeld();  // the ending thread holds it (see ThreadSlots.h)
    m_pCounter->m_folded.AddSlot(fields);
  }

  CTimeCounter* const m_pCounter;
  zrfw::TimeSlotFields fields;
};

namespace {

std::uint64_t UnitsOf(const CTimeInterval& elapsed) noexcept {
  return elapsed.Get100ns() > 0 ? static_cast<std::uint64_t>(elapsed.Get100ns()) : 0;
}

CTimeInterval Interval(std::uint64_t units) noexcept {
  return CTimeInterval(
      units > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<long long>(units));
}

}  // namespace

CTimeCounter::CTimeCounter() noexcept : m_created(std::chrono::steady_clock::now()) {}

CTimeCounter::~CTimeCounter() = default;

void CTimeCounter::AddSample(const CTimeInterval& elapsed) noexcept {
  const std::uint64_t units = UnitsOf(elapsed);
  zrfw::ThreadSlot* slot = m_owner.Local(
      [](zrfw::SlotOwner* owner, void* counter) noexcept -> zrfw::ThreadSlot* {
        return new (std::nothrow) Slot(owner, static_cast<CTimeCounter*>(counter));
      },
      this);
  if (slot == nullptr) {
    AddLocked(units);
    return;
  }
  // This thread is the slot's only writer.
  zrfw::TimeSlotFields& f = static_cast<Slot*>(slot)->fields;
  const std::uint64_t n = LoadRelaxed(f.count);
  std::uint64_t shift;
  if (n == 0) {
    shift = units;
    StoreRelaxed(f.shift, units);
  } else {
    shift = LoadRelaxed(f.shift);
  }
  const double deviation = static_cast<double>(static_cast<std::int64_t>(units - shift));
  StoreRelaxed(f.sum, LoadRelaxed(f.sum) + deviation);
  StoreRelaxed(f.sumSquares, LoadRelaxed(f.sumSquares) + deviation * deviation);
  // A total that would pass the largest value keeps its old value here and is
  // moved into m_folded below, before the count shows the sample.
  const std::uint64_t before = LoadRelaxed(f.total);
  std::uint64_t total;
  const bool carry = __builtin_add_overflow(before, units, &total);
  StoreRelaxed(f.total, carry ? before : total);
  if (units < LoadRelaxed(f.min)) StoreRelaxed(f.min, units);
  if (units > LoadRelaxed(f.max)) StoreRelaxed(f.max, units);
  const std::size_t bucket = zrfw::latency::BucketOf(units);
  const std::uint32_t inBucket = LoadRelaxed(f.buckets[bucket]) + 1;
  StoreRelaxed(f.buckets[bucket], inBucket);
  if (__builtin_expect(carry || inBucket >= zrfw::TimeSlotFields::kFoldAt, 0)) {
    Fold(f, bucket, carry ? units : 0);
  }
  StoreRelaxed(f.count, n + 1);
}

void CTimeCounter::Fold(zrfw::TimeSlotFields& slot, std::size_t bucket,
                        std::uint64_t carried) noexcept {
  zrperf::MutexLock guard(&m_owner.Mutex());
  if (LoadRelaxed(slot.buckets[bucket]) >= zrfw::TimeSlotFields::kFoldAt) {
    m_folded.buckets[bucket] += LoadRelaxed(slot.buckets[bucket]);
    StoreRelaxed(slot.buckets[bucket], std::uint32_t{0});
  }
  if (carried != 0) {  // a carry needs units > 0
    m_folded.total += LoadRelaxed(slot.total);
    StoreRelaxed(slot.total, carried);
  }
}

void CTimeCounter::AddLocked(std::uint64_t units) noexcept {
  zrfw::TimeFigures one;
  one.count = 1;
  one.total = one.min = one.max = units;
  one.mean = static_cast<double>(units);
  one.buckets[zrfw::latency::BucketOf(units)] = 1;
  zrperf::MutexLock guard(&m_owner.Mutex());
  m_folded.Add(one);
}

zrfw::TimeFigures CTimeCounter::Read() const {
  zrfw::TimeFigures figures;
  zrperf::MutexLock guard(&m_owner.Mutex());
  ReadLocked(figures);
  return figures;
}

void CTimeCounter::ReadLocked(zrfw::TimeFigures& figures) const {
  figures = m_folded;
  m_owner.ForEachSlot([&figures](const zrfw::ThreadSlot& slot) {
    figures.AddSlot(static_cast<const Slot&>(slot).fields);
  });
}

CTimeCounterSnapshot CTimeCounter::GetSnapshot() const {
  CTimeCounterSnapshot snapshot;
  zrfw::TimeFigures f;
  {
    zrperf::MutexLock guard(&m_owner.Mutex());
    ReadLocked(f);
    snapshot.m_end = std::chrono::steady_clock::now();
  }
  snapshot.m_nCounterId = m_owner.Id();
  snapshot.m_start = m_created;
  snapshot.m_nCount = f.count;
  snapshot.m_nTotal = f.total;
  snapshot.m_nMin = f.Min();
  snapshot.m_nMax = f.max;
  snapshot.m_dMean = f.mean;
  snapshot.m_dM2 = f.m2;
  if (f.count == 0) return snapshot;  // a first sample in flight may show in its bucket only
  std::size_t used = 0;
  for (std::size_t i = 0; i < zrfw::latency::kBuckets; ++i) used += f.buckets[i] != 0 ? 1 : 0;
  snapshot.m_vecBuckets.reserve(used);
  for (std::size_t i = 0; i < zrfw::latency::kBuckets; ++i) {
    if (f.buckets[i] == 0) continue;
    const std::uint64_t high =
        i + 1 == zrfw::latency::kBuckets ? UINT64_MAX : zrfw::latency::BucketHigh(i);
    snapshot.m_vecBuckets.push_back({zrfw::latency::BucketLow(i), high, f.buckets[i]});
  }
  return snapshot;
}

long long CTimeCounter::GetTotalSamples() const {
  zrperf::MutexLock guard(&m_owner.Mutex());
  long long count = static_cast<long long>(m_folded.count);
  m_owner.ForEachSlot([&count](const zrfw::ThreadSlot& slot) {
    count += static_cast<long long>(LoadRelaxed(static_cast<const Slot&>(slot).fields.count));
  });
  return count;
}

CTimeInterval CTimeCounter::GetTotal() const {
  return Interval(zrfw::Clamp64(Read().total));
}

CTimeInterval CTimeCounter::GetMin() const {
  return Interval(Read().Min());
}

CTimeInterval CTimeCounter::GetMax() const {
  return Interval(Read().max);
}

CTimeInterval CTimeCounter::GetMean() const {
  return Interval(Read().Mean());
}

CTimeInterval CTimeCounter::GetPercentile(double fraction) const {
  return Interval(Read().Percentile(fraction));
}

std::string CTimeCounter::AsString() const {
  const zrfw::TimeFigures f = Read();
  if (f.count == 0) return "samples=0";
  using zrfw::DurationText;
  return "samples=" + std::to_string(f.count) + " total=" + DurationText(zrfw::Clamp64(f.total)) +
         " mean=" + DurationText(f.Mean()) + " stddev=" + DurationText(f.StandardDeviation()) +
         " min=" + DurationText(f.Min()) + " p50=" + DurationText(f.Percentile(0.5)) +
         " p90=" + DurationText(f.Percentile(0.9)) + " p99=" + DurationText(f.Percentile(0.99)) +
         " p99.9=" + DurationText(f.Percentile(0.999)) + " max=" + DurationText(f.max);
}
