// Internal to libzrframework: the configuration store's SQL, its connection
// settings and its retries on lock conflicts (see PlatformInfo.h for what the
// store promises).
//
// Thread-safety: functions of their arguments; a connection is used by one
// thread at a time.

#ifndef ZRPERF_FRAMEWORK_INTERNAL_STORESQL_H_
#define ZRPERF_FRAMEWORK_INTERNAL_STORESQL_H_

#include <sqlite3.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace zrfw {
namespace store {

// The statements of the two store operations: ?1 section, ?2 name, ?3 value.
inline constexpr const char* kSelect =
    "SELECT value FROM settings WHERE section = ?1 AND name = ?2";
inline constexpr const char* kUpsert =
    "INSERT INTO settings(section, name, value) VALUES (?1, ?2, ?3) "
    "ON CONFLICT(section, name) DO UPDATE SET value = excluded.value";

// A prepared statement, finalized when it goes.
struct StatementDeleter {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

// How long one step of a call keeps waiting for another connection or
// process before it fails with SQLITE_BUSY: the wait for a turn in the
// store's turnstile, and the retries below (SQLite's own busy handler waits
// within what is left of it).
inline constexpr std::chrono::seconds kDefaultBusyBudget(30);

// The budget of the calls that start now: kDefaultBusyBudget unless
// SetBusyBudget() set another. Thread-safe.
std::chrono::milliseconds BusyBudget();

// For tests: the budget of the calls that start afterwards. Returns the one it
// replaces. Thread-safe. REQUIRES: budget > 0.
std::chrono::milliseconds SetBusyBudget(std::chrono::milliseconds budget);

// The budget as the records write it: "30 s", "1.5 s".
std::string BudgetText(std::chrono::milliseconds budget);

// Runs `attempt` (which returns an SQLite result code) again while it reports
// a lock conflict, with a short randomised back-off, until the busy budget is
// spent; SQLite's busy handler on `db` (null: none) waits at most what is
// left of it. Returns the last result code.
int RetryWhileBusy(sqlite3* db, const std::function<int()>& attempt);

// SQLite's text for `rc`, with the connection's message when it is about `rc`
// and says more.
std::string Describe(sqlite3* db, int rc);

int Exec(sqlite3* db, const char* sql);
int Prepare(sqlite3* db, const char* sql, Statement* stmt);

// Runs `body` (which returns a result code) inside BEGIN IMMEDIATE ... COMMIT,
// and the whole transaction again while another connection holds the lock.
// On failure *why describes the error.
int WriteTransaction(sqlite3* db, const std::function<int()>& body, std::string* why);

// Connection settings and the schema, on a freshly opened connection: a
// writer creates the table when it is missing; a reader only learns whether
// it exists (*hasTable). On failure *why describes the error.
int Configure(sqlite3* db, bool write, bool* hasTable, std::string* why);

}  // namespace store
}  // namespace zrfw

#endif  // ZRPERF_FRAMEWORK_INTERNAL_STORESQL_H_
