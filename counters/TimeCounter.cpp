#include "TimeCounter.h"

#include <cstddef>
#include <new>

#include <zrperf/counters/internal/Saturating.h>

using zrfw::LoadRelaxed;
using zrfw::StoreRelaxed;

// Hidden: only this file builds and folds slots.
struct __attribute__((visibility("hidden"))) CTimeCounter::Slot : zrfw::TimeSlot {
  Slot(zrfw::SlotOwner* owner, CTimeCounter* counter) noexcept
      : zrfw::TimeSlot(owner), m_pCounter(counter) {}
  void Fold() noexcept override {
    m_pCounter->m_owner.Mutex().AssertHeld();  // the ending thread holds it (see ThreadSlots.h)
    m_pCounter->m_folded.AddSlot(fields);
  }

  CTimeCounter* const m_pCounter;
};

// Callers built before AddSample() was inline call the library's copy.
[[gnu::used]] static void (CTimeCounter::*const kExportedAddSample)(const CTimeInterval&) noexcept =
    &CTimeCounter::AddSample;

CTimeCounter::CTimeCounter() noexcept : m_created(std::chrono::steady_clock::now()) {}

CTimeCounter::~CTimeCounter() = default;

void CTimeCounter::AddSampleSlow(std::uint64_t units) noexcept {
  zrfw::ThreadSlot* slot = m_owner.Local(
      [](zrfw::SlotOwner* owner, void* counter) noexcept -> zrfw::ThreadSlot* {
        return new (std::nothrow) Slot(owner, static_cast<CTimeCounter*>(counter));
      },
      this);
  if (slot == nullptr) {
    AddLocked(units);
    return;
  }
  zrfw::TimeSlotFields& f = static_cast<Slot*>(slot)->fields;
  if (!f.TryAdd(units)) Fold(f, units);
}

void CTimeCounter::Fold(zrfw::TimeSlotFields& slot, std::uint64_t units) noexcept {
  // The extremes stay in the slot, stored before the count shows the sample.
  if (units < LoadRelaxed(slot.min)) StoreRelaxed(slot.min, units);
  if (units > LoadRelaxed(slot.max)) StoreRelaxed(slot.max, units);
  const std::size_t bucket = zrfw::latency::BucketOf(units);
  zrperf::MutexLock guard(&m_owner.Mutex());
  // Readers hold the mutex too, so they see the sample and the moved fields
  // either all in the slot or all here.
  m_folded.total += zrfw::Uint128{LoadRelaxed(slot.total)} + units;
  StoreRelaxed(slot.total, std::uint64_t{0});
  m_folded.AddSquares(zrfw::Uint128{LoadRelaxed(slot.squares)} + zrfw::Uint128{units} * units);
  StoreRelaxed(slot.squares, std::uint64_t{0});
  const std::uint64_t inBucket = std::uint64_t{LoadRelaxed(slot.buckets[bucket])} + 1;
  m_folded.buckets[bucket] += inBucket;
  m_folded.count += inBucket;
  StoreRelaxed(slot.buckets[bucket], std::uint32_t{0});
}

void CTimeCounter::AddLocked(std::uint64_t units) noexcept {
  zrfw::TimeFigures one;
  one.count = 1;
  one.total = one.min = one.max = units;
  one.AddSquares(zrfw::Uint128{units} * units);
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
  snapshot.m_nMax = f.count == 0 ? 0 : f.max;  // a first sample in flight may show in its maximum
  snapshot.SetSquares(f.squaresLow, f.squaresHigh);
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
  // The count is the sum of the buckets.
  std::uint64_t count = m_folded.count;
  m_owner.ForEachSlot([&count](const zrfw::ThreadSlot& slot) {
    for (const auto& bucket : static_cast<const Slot&>(slot).fields.buckets) {
      count += LoadRelaxed(bucket);
    }
  });
  return static_cast<long long>(count);
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
// The inline AddSample() reads the slot cache and writes the slot's fields:
// their layout is public too.
static_assert(zrfw::kSlotCacheEntries == 64 && sizeof(zrfw::SlotCacheEntry) == 16,
              "the slot cache is read by inline code");
static_assert(sizeof(zrfw::TimeSlotFields) == 32 + 4 * zrfw::latency::kBuckets &&
                  zrfw::TimeSlotFields::kFoldAt == 1u << 20,
              "the slot's fields are written by inline code");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(zrfw::TimeSlot, fields) == zrfw::TimeSlot::kFieldsOffset &&
                  zrfw::TimeSlot::kFieldsOffset == 32,
              "the fields follow the slot's header");
#pragma GCC diagnostic pop
#if defined(__x86_64__) || defined(__powerpc64__)  // a std::mutex of 40 bytes
static_assert(sizeof(CTimeCounter) == 4800, "CTimeCounter's layout is public");
#endif
