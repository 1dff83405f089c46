#include "MediaSpeedCounter.h"

#include <new>

#include <zrperf/counters/internal/Saturating.h>

using zrfw::LoadRelaxed;
using zrfw::StoreRelaxed;

struct CMediaSpeedCounter::Slot : zrfw::ThreadSlot {
  Slot(zrfw::SlotOwner* owner, CMediaSpeedCounter* counter) noexcept
      : zrfw::ThreadSlot(owner), m_pCounter(counter) {}
  void Fold() noexcept override {
    m_pCounter->m_owner.Mutex().AssertHeld();  // the ending thread holds it (see ThreadSlots.h)
    AddTo(m_pCounter->m_folded);
  }

  // Adds what the slot holds now.
  void AddTo(Totals& totals) const noexcept {
    totals.transfers += LoadRelaxed(transfers);
    totals.bytes += LoadRelaxed(bytes);
    totals.time += LoadRelaxed(time);
  }

  CMediaSpeedCounter* const m_pCounter;
  // Written only by the slot's thread.
  std::atomic<unsigned long long> transfers{0};
  std::atomic<unsigned long long> bytes{0};
  std::atomic<unsigned long long> time{0};  // 100 ns units
};

CMediaSpeedCounter::CMediaSpeedCounter(EvDebug* /*debug*/) noexcept
    : m_created(std::chrono::steady_clock::now()) {}

CMediaSpeedCounter::~CMediaSpeedCounter() = default;

void CMediaSpeedCounter::AddTransfer(unsigned long long bytes,
                                     const CTimeInterval& elapsed) noexcept {
  const unsigned long long units = zrfw::sat::UnitsOf(elapsed);
  zrfw::ThreadSlot* slot = m_owner.Local(
      [](zrfw::SlotOwner* owner, void* counter) noexcept -> zrfw::ThreadSlot* {
        return new (std::nothrow) Slot(owner, static_cast<CMediaSpeedCounter*>(counter));
      },
      this);
  if (slot == nullptr) {
    zrperf::MutexLock guard(&m_owner.Mutex());
    m_folded.transfers += 1;
    m_folded.bytes += bytes;
    m_folded.time += units;
    return;
  }
  // This thread is the slot's only writer.
  Slot& s = *static_cast<Slot*>(slot);
  unsigned long long newBytes, newTime;
  // Two tests that branch on the carry flag, each predicted not taken.
  if (__builtin_expect(__builtin_add_overflow(LoadRelaxed(s.bytes), bytes, &newBytes), 0) ||
      __builtin_expect(__builtin_add_overflow(LoadRelaxed(s.time), units, &newTime), 0)) {
    FoldSums(s, bytes, units);
  } else {
    StoreRelaxed(s.bytes, newBytes);
    StoreRelaxed(s.time, newTime);
  }
  StoreRelaxed(s.transfers, LoadRelaxed(s.transfers) + 1);
}

void CMediaSpeedCounter::FoldSums(Slot& slot, unsigned long long bytes,
                                  unsigned long long units) noexcept {
  // Under the mutex, so that a reader sees the sums either in the slot or in
  // m_folded, never in both or neither.
  zrperf::MutexLock guard(&m_owner.Mutex());
  m_folded.bytes += LoadRelaxed(slot.bytes);
  m_folded.time += LoadRelaxed(slot.time);
  StoreRelaxed(slot.bytes, bytes);
  StoreRelaxed(slot.time, units);
}

CMediaSpeedCounter::Totals CMediaSpeedCounter::Read() const {
  zrperf::MutexLock guard(&m_owner.Mutex());
  Totals totals = m_folded;
  m_owner.ForEachSlot(
      [&totals](const zrfw::ThreadSlot& slot) { static_cast<const Slot&>(slot).AddTo(totals); });
  return totals;
}

CMediaSpeedCounterSnapshot CMediaSpeedCounter::GetSnapshot() const {
  CMediaSpeedCounterSnapshot snapshot;
  const Totals t = Read();
  snapshot.m_end = std::chrono::steady_clock::now();
  snapshot.m_start = m_created;
  snapshot.m_nCounterId = m_owner.Id();
  snapshot.m_nTransfers = t.transfers;
  snapshot.m_nBytes = t.bytes;
  snapshot.m_nTime = t.time;
  return snapshot;
}

unsigned long long CMediaSpeedCounter::GetTotalBytes() const {
  return GetSnapshot().GetBytes();
}

unsigned long long CMediaSpeedCounter::GetTotalTransfers() const {
  return GetSnapshot().GetTransfers();
}

CTimeInterval CMediaSpeedCounter::GetTotalTime() const {
  return GetSnapshot().GetTime();
}

std::string CMediaSpeedCounter::AsString() const {
  return GetSnapshot().AsString();
}

// The installed layout (see TimeCounter.cpp); a change needs a new SONAME.
static_assert(sizeof(CMediaSpeedCounterSnapshot) == 64, "the snapshot's layout is public");
#if defined(__x86_64__) || defined(__powerpc64__)  // a std::mutex of 40 bytes
static_assert(sizeof(CMediaSpeedCounter) == 144, "CMediaSpeedCounter's layout is public");
#endif
