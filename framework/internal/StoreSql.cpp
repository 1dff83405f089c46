#include "StoreSql.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

namespace zrfw {
namespace store {

namespace {

// The busy budget in milliseconds: a setting read at the start of each wait.
std::atomic<long long> g_busyBudgetMs{
    std::chrono::duration_cast<std::chrono::milliseconds>(kDefaultBusyBudget).count()};

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS settings("
    "section TEXT NOT NULL, name TEXT NOT NULL, value BLOB NOT NULL, "
    "PRIMARY KEY (section, name)) WITHOUT ROWID";
constexpr const char* kHasTable =
    "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'settings'";

bool IsBusy(int rc) {
  const int primary = rc & 0xFF;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

}  // namespace

std::chrono::milliseconds BusyBudget() {
  return std::chrono::milliseconds(g_busyBudgetMs.load(std::memory_order_relaxed));
}

std::chrono::milliseconds SetBusyBudget(std::chrono::milliseconds budget) {
  return std::chrono::milliseconds(
      g_busyBudgetMs.exchange(budget.count(), std::memory_order_relaxed));
}

std::string BudgetText(std::chrono::milliseconds budget) {
  char text[32];
  std::snprintf(text, sizeof(text), "%g s", static_cast<double>(budget.count()) / 1000);
  return text;
}

// Some lock conflicts (a connection that must not wait for a lock it could
// deadlock on) return SQLITE_BUSY at once without calling SQLite's busy
// handler: the loop covers those; the handler, given what is left of the
// budget before each attempt, covers the others.
int RetryWhileBusy(sqlite3* db, const std::function<int()>& attempt) {
  const auto deadline = std::chrono::steady_clock::now() + BusyBudget();
  thread_local std::minstd_rand jitter(std::random_device{}());
  int pauseMs = 1;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (db != nullptr) {
      sqlite3_busy_timeout(db, static_cast<int>(std::max<long long>(1, left.count())));
    }
    const int rc = attempt();
    if (!IsBusy(rc) || std::chrono::steady_clock::now() >= deadline) return rc;
    std::uniform_int_distribution<int> pick(1, pauseMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(pick(jitter)));
    if (pauseMs < 64) pauseMs *= 2;
  }
}

std::string Describe(sqlite3* db, int rc) {
  std::string text = sqlite3_errstr(rc);
  if (db != nullptr && sqlite3_extended_errcode(db) == rc && text != sqlite3_errmsg(db)) {
    text += " (";
    text += sqlite3_errmsg(db);
    text += ")";
  }
  return text;
}

int Exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

int Prepare(sqlite3* db, const char* sql, Statement* stmt) {
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
  stmt->reset(raw);
  return rc;
}

// Runs `body` (which returns a result code) inside BEGIN IMMEDIATE ... COMMIT,
// and the whole transaction again while another connection holds the lock.
// IMMEDIATE takes the write lock up front (waiting in the busy handler), so
// the body never has to upgrade a read snapshot that another writer moved.
// On failure *why describes the error, taken before the rollback clears it.
int WriteTransaction(sqlite3* db, const std::function<int()>& body, std::string* why) {
  return RetryWhileBusy(db, [&] {
    int r = Exec(db, "BEGIN IMMEDIATE");
    if (r == SQLITE_OK) r = body();
    if (r == SQLITE_OK) r = Exec(db, "COMMIT");
    if (r != SQLITE_OK) {
      *why = Describe(db, r);
      if (!sqlite3_get_autocommit(db)) Exec(db, "ROLLBACK");
    }
    return r;
  });
}

// Connection settings and the schema, on a freshly opened connection. A
// writer creates the table when it is missing; a reader only learns whether it
// exists (*hasTable).
//
// The store keeps SQLite's rollback journal (journal_mode=DELETE) with
// synchronous=FULL: a commit is atomic and durable, and a reader needs nothing
// but the database file. (WAL would make every reader create -wal/-shm files
// owned by its own user, which can lock the owner out of a shared directory,
// and would keep a store on a read-only mount from being read.) A store left
// in WAL mode by an older version is switched back by its next writer when no
// other connection is open on it.
int Configure(sqlite3* db, bool write, bool* hasTable, std::string* why) {
  sqlite3_extended_result_codes(db, 1);
  // Reading the schema version reads the header: a foreign file fails here.
  int rc = RetryWhileBusy(db, [&] { return Exec(db, "PRAGMA schema_version"); });
  if (rc == SQLITE_OK && write) {
    Exec(db, "PRAGMA journal_mode=DELETE");  // kept as it is when another connection is open
    rc = Exec(db, "PRAGMA synchronous=FULL");
  }
  if (rc != SQLITE_OK) {
    *why = Describe(db, rc);
    return rc;
  }
  *hasTable = false;
  rc = RetryWhileBusy(db, [&] {
    Statement stmt;
    int r = Prepare(db, kHasTable, &stmt);
    if (r != SQLITE_OK) return r;
    r = sqlite3_step(stmt.get());
    *hasTable = (r == SQLITE_ROW);
    return (r == SQLITE_ROW || r == SQLITE_DONE) ? SQLITE_OK : r;
  });
  if (rc != SQLITE_OK) {
    *why = Describe(db, rc);
    return rc;
  }
  if (*hasTable || !write) return SQLITE_OK;
  rc = WriteTransaction(
      db, [&] { return Exec(db, kCreateTable); }, why);
  *hasTable = (rc == SQLITE_OK);
  return rc;
}

}  // namespace store
}  // namespace zrfw
