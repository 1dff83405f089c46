// Internal to libzrperf: a lock-free lookup index over the entries of a
// std::map<std::string, V>.
// CPerfCounters embeds two NameIndex members, so this header is installed with
// it and NameIndex's layout is part of libzrperf's ABI: keep it stable.
//
// The counter set keeps its counters in std::maps (ordered walks for the
// statistics record), but a std::map cannot be read while another thread
// inserts into it. Every lookup of a registered name therefore goes through
// this index instead: an insert-only open-addressing hash table whose slots
// point at the map's nodes, which never move and are never erased while the
// set lives.
//
// Thread-safety: Find() may run on any number of threads at once, concurrently
// with Publish(). Publish() is called only with the owner's lock held (one
// writer at a time). Tables that were replaced by a larger one stay allocated
// until the index is destroyed, so a reader that still probes an old table
// reads valid memory (the sizes form a geometric series: at most twice the
// live table in all).

#ifndef ZRPERF_PERF_INTERNAL_NAMEINDEX_H_
#define ZRPERF_PERF_INTERNAL_NAMEINDEX_H_

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zrperf {

template <typename Entry>  // Entry: std::pair<const std::string, V>, a map node's value
class NameIndex {
 public:
  NameIndex() : m_pTable(nullptr), m_nCount(0) {}
  NameIndex(const NameIndex&) = delete;
  NameIndex& operator=(const NameIndex&) = delete;

  // The entry named `name`, or null when it has not been published.
  Entry* Find(const std::string& name) const noexcept {
    // Acquire pairs with the release in Publish()/Grow(): a reader that sees a
    // table (or a slot's entry) also sees its contents fully built.
    const Table* table = m_pTable.load(std::memory_order_acquire);
    if (table == nullptr) return nullptr;
    const std::size_t mask = table->mask;
    for (std::size_t i = Hash(name) & mask;; i = (i + 1) & mask) {
      Entry* entry = table->slots[i].load(std::memory_order_acquire);
      if (entry == nullptr) return nullptr;
      if (entry->first == name) return entry;
    }
  }

  // Makes `entry` findable under entry->first.
  // REQUIRES: the caller holds the owner's lock; `entry` is not yet published
  // and stays valid (at the same address) while the index lives.
  void Publish(Entry* entry) {
    Table* table = m_pTable.load(std::memory_order_relaxed);
    // Keep the load factor at most 1/2 so that probe sequences stay short.
    if (table == nullptr || 2 * (m_nCount + 1) > table->mask + 1) table = Grow(table);
    Insert(table, entry);
    ++m_nCount;
  }

 private:
  struct Table {
    explicit Table(std::size_t capacity)
        : mask(capacity - 1), slots(new std::atomic<Entry*>[capacity]) {
      for (std::size_t i = 0; i < capacity; ++i) slots[i].store(nullptr, std::memory_order_relaxed);
    }
    std::size_t mask;
    std::unique_ptr<std::atomic<Entry*>[]> slots;
  };

  static std::size_t Hash(const std::string& name) noexcept {
    return std::hash<std::string>()(name);
  }

  static void Insert(Table* table, Entry* entry) noexcept {
    std::size_t i = Hash(entry->first) & table->mask;
    while (table->slots[i].load(std::memory_order_relaxed) != nullptr) i = (i + 1) & table->mask;
    table->slots[i].store(entry, std::memory_order_release);
  }

  Table* Grow(Table* old) {
    const std::size_t capacity = old == nullptr ? 64 : 2 * (old->mask + 1);
    m_vecTables.reserve(m_vecTables.size() + 1);  // so push_back below cannot throw
    std::unique_ptr<Table> bigger(new Table(capacity));
    if (old != nullptr) {
      for (std::size_t i = 0; i <= old->mask; ++i) {
        Entry* entry = old->slots[i].load(std::memory_order_relaxed);
        if (entry != nullptr) Insert(bigger.get(), entry);
      }
    }
    Table* raw = bigger.get();
    m_vecTables.push_back(std::move(bigger));
    m_pTable.store(raw, std::memory_order_release);
    return raw;
  }

  std::atomic<Table*> m_pTable;                     // the live table
  std::size_t m_nCount;                             // entries published (writer only)
  std::vector<std::unique_ptr<Table>> m_vecTables;  // every table ever made (writer only)
};

}  // namespace zrperf

#endif  // ZRPERF_PERF_INTERNAL_NAMEINDEX_H_
