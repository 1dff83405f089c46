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
// process before it fails with SQLITE_BUSY: the retries below, and the wait
// for a turn in the store's turnstile.
inline constexpr std::chrono::seconds kBusyBudget(30);

// Runs `attempt` (which returns an SQLite result code) again while it reports
// a lock conflict, with a short randomised back-off, until kBusyBudget is
// spent. Returns the last result code.
int RetryWhileBusy(const std::function<int()>& attempt);

// SQLite's text for `rc`, with the connection's message when it is about `rc`.
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
