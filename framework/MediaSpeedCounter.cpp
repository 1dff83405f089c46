#include "MediaSpeedCounter.h"

#include <cstdio>
#include <mutex>
#include <new>

#include "DurationText.h"

using zrfw::LoadRelaxed;
using zrfw::SaturatingAdd;
using zrfw::StoreRelaxed;

struct CMediaSpeedCounter::Slot : zrfw::ThreadSlot {
  Slot(zrfw::SlotOwner* owner, CMediaSpeedCounter* counter) noexcept
      : zrfw::ThreadSlot(owner), m_pCounter(counter) {}
  void Fold() noexcept override { AddTo(m_pCounter->m_folded); }

  // Adds what the slot holds now.
  void AddTo(Totals& totals) const noexcept {
    totals.transfers += LoadRelaxed(transfers);
    totals.bytes = SaturatingAdd(totals.bytes, LoadRelaxed(bytes));
    totals.time = SaturatingAdd(totals.time, LoadRelaxed(time));
  }

  CMediaSpeedCounter* const m_pCounter;
  // Written only by the slot's thread.
  std::atomic<unsigned long long> transfers{0};
  std::atomic<unsigned long long> bytes{0};
  std::atomic<unsigned long long> time{0};  // 100 ns units
};

CMediaSpeedCounter::CMediaSpeedCounter(EvDebug* /*debug*/) noexcept {}

CMediaSpeedCounter::~CMediaSpeedCounter() = default;

void CMediaSpeedCounter::AddTransfer(unsigned long long bytes,
                                     const CTimeInterval& elapsed) noexcept {
  const unsigned long long units =
      elapsed.Get100ns() > 0 ? static_cast<unsigned long long>(elapsed.Get100ns()) : 0;
  zrfw::ThreadSlot* slot = m_owner.Local(
      [](zrfw::SlotOwner* owner, void* counter) noexcept -> zrfw::ThreadSlot* {
        return new (std::nothrow) Slot(owner, static_cast<CMediaSpeedCounter*>(counter));
      },
      this);
  if (slot == nullptr) {
    std::lock_guard<std::mutex> guard(m_owner.Mutex());
    m_folded.transfers += 1;
    m_folded.bytes = SaturatingAdd(m_folded.bytes, bytes);
    m_folded.time = SaturatingAdd(m_folded.time, units);
    return;
  }
  // This thread is the slot's only writer.
  Slot& s = *static_cast<Slot*>(slot);
  StoreRelaxed(s.bytes, SaturatingAdd(LoadRelaxed(s.bytes), bytes));
  StoreRelaxed(s.time, SaturatingAdd(LoadRelaxed(s.time), units));
  StoreRelaxed(s.transfers, LoadRelaxed(s.transfers) + 1);
}

CMediaSpeedCounter::Totals CMediaSpeedCounter::Read() const {
  std::lock_guard<std::mutex> guard(m_owner.Mutex());
  Totals totals = m_folded;
  m_owner.ForEachSlot(
      [&totals](const zrfw::ThreadSlot& slot) { static_cast<const Slot&>(slot).AddTo(totals); });
  return totals;
}

unsigned long long CMediaSpeedCounter::GetTotalBytes() const {
  return Read().bytes;
}

unsigned long long CMediaSpeedCounter::GetTotalTransfers() const {
  return Read().transfers;
}

CTimeInterval CMediaSpeedCounter::GetTotalTime() const {
  const unsigned long long time = Read().time;
  return CTimeInterval(
      time > static_cast<unsigned long long>(LLONG_MAX) ? LLONG_MAX : static_cast<long long>(time));
}

std::string CMediaSpeedCounter::AsString() const {
  const Totals t = Read();
  if (t.transfers == 0) return "transfers=0";
  std::string text = "transfers=" + std::to_string(t.transfers) +
                     " bytes=" + std::to_string(t.bytes) + " time=" + zrfw::DurationText(t.time) +
                     " throughput=";
  if (t.time == 0) return text + "n/a";
  char rate[48];
  // bytes per 100 ns unit, times 10^7 units per second, over 10^6 bytes per MB.
  std::snprintf(rate, sizeof(rate), "%.2fMB/s",
                static_cast<double>(t.bytes) / static_cast<double>(t.time) * 10.0);
  return text + rate;
}
