#include "TimeCounter.h"

#include <new>

#include <zrperf/counters/internal/Saturating.h>

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

CTimeCounter::CTimeCounter() noexcept : m_created(std::chrono::steady_clock::now()) {}

CTimeCounter::~CTimeCounter() = default;

void CTimeCounter::AddSample(const CTimeInterval& elapsed) noexcept {
  const std::uint64_t units = zrfw::sat::UnitsOf(elapsed);
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

void CTimeCounter::ReadLocked(zrfw::TimeFigures& figures) const {
  figures = m_folded;
  m_owner.ForEachSlot([&figures](const zrfw::ThreadSlot& slot) {
    figures.AddSlot(static_cast<const Slot&>(slot).fields);
  });
}

CTimeCounterSnapshot CTimeCounter::GetSnapshot() const {
  return Snapshot(true);
}

CTimeCounterSnapshot CTimeCounter::Snapshot(bool withBuckets) const {
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
  // A first sample in flight may show in its bucket only.
  if (!withBuckets || f.count == 0) return snapshot;
  namespace latency = zrfw::latency;
  snapshot.m_nZeroCount = f.buckets[0];
  std::size_t used = 0;
  for (std::size_t p = 1; p < latency::kBuckets; ++p) used += f.buckets[p] != 0 ? 1 : 0;
  // Filled field by field: building each Bucket as a temporary and copying it
  // makes the compiler reload it from the stack as wider words than it stored
  // them, a store-forwarding stall that took half of the whole snapshot.
  snapshot.m_vecBuckets.resize(used);
  CTimeCounterSnapshot::Bucket* b = snapshot.m_vecBuckets.data();
  for (std::size_t p = 1; p < latency::kBuckets; ++p) {
    if (f.buckets[p] == 0) continue;
    b->index = latency::IndexOf(p);
    b->low = latency::BucketLow(p);
    b->high = p == latency::kLast ? UINT64_MAX : latency::BucketHigh(p);
    b->count = f.buckets[p];
    ++b;
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

// Every figure is read as a snapshot reads it: one computation of each.
CTimeInterval CTimeCounter::GetTotal() const {
  return Snapshot(false).GetTotal();
}

CTimeInterval CTimeCounter::GetMin() const {
  return Snapshot(false).GetMin();
}

CTimeInterval CTimeCounter::GetMax() const {
  return Snapshot(false).GetMax();
}

CTimeInterval CTimeCounter::GetMean() const {
  return Snapshot(false).GetMean();
}

CTimeInterval CTimeCounter::GetPercentile(double fraction) const {
  return Snapshot(true).GetPercentile(fraction);
}

std::string CTimeCounter::AsString() const {
  return Snapshot(true).AsString();
}

// The installed layout: CTimeCounter embeds the slot owner and the folded
// figures, whose size the bucket count sets. A change here changes the
// library's ABI and needs a new SONAME.
static_assert(zrfw::latency::kBuckets == 582, "bucket count is part of the ABI");
static_assert(sizeof(zrfw::TimeFigures) == 4720, "TimeFigures is embedded in CTimeCounter");
static_assert(sizeof(CTimeCounterSnapshot) == 128, "CTimeCounterSnapshot's layout is public");
#if defined(__x86_64__) || defined(__powerpc64__)  // a std::mutex of 40 bytes
static_assert(sizeof(CTimeCounter) == 4800, "CTimeCounter's layout is public");
#endif
