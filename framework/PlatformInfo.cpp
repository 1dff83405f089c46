#include "PlatformInfo.h"

#include <sqlite3.h>

#include <chrono>
#include <string>
#include <utility>

#include <zrperf/framework/internal/StoreFiles.h>
#include <zrperf/framework/internal/StoreSql.h>
#include <zrperf/framework/internal/StoreTurnstile.h>
#include <zrperf/sync/Mutex.h>
#include "LogWriterInterface.h"

const char* const ZRPlatformInfo::kDefaultStorePath = "/var/lib/zrperf/platform.db";

namespace {

using zrfw::store::CloseFile;
using zrfw::store::Configure;
using zrfw::store::Describe;
using zrfw::store::FileFailure;
using zrfw::store::FileKey;
using zrfw::store::ForgetFileFailure;
using zrfw::store::kSelect;
using zrfw::store::kUpsert;
using zrfw::store::OpenFile;
using zrfw::store::Prepare;
using zrfw::store::RetryWhileBusy;
using zrfw::store::Statement;
using zrfw::store::WriteTransaction;

// The process-wide store path. Allocated once and never destroyed, so that
// objects built by threads still running at process exit find it intact.
struct StorePath {
  zrperf::Mutex mutex;
  std::string path ZR_GUARDED_BY(mutex){ZRPlatformInfo::kDefaultStorePath};
};

StorePath& TheStorePath() {
  static StorePath* const instance = new StorePath;
  return *instance;
}

// Sends one failure record to the process's sink, when one is installed,
// with the file call that failed last in this call, if any.
void Report(const char* function, int line, const std::string& path, const std::string& why) {
  zrfw::SendLog(zrfw::LevelRule::kAlways, -1, function, line, "Configuration store %s: %s%s",
                path.c_str(), why.c_str(), FileFailure().c_str());
}

// A call's wait for its turn: the busy budget from now.
struct TurnWait {
  TurnWait()
      : budget(zrfw::store::BusyBudget()), deadline(std::chrono::steady_clock::now() + budget) {}

  // Why a call failed that waited the budget for its turn: the failure of a
  // store that SQLite found busy, with where the wait was.
  std::string NoTurn(const zrfw::StoreTurnstile& turnstile) const {
    return Describe(nullptr, SQLITE_BUSY) + " (no turn in " + turnstile.GetLockPath() + " within " +
           zrfw::store::BudgetText(budget) + ")";
  }

  const std::chrono::milliseconds budget;
  const zrfw::StoreTurnstile::Deadline deadline;
};

}  // namespace

struct ZRPlatformInfo::Impl {
  explicit Impl(std::string storePath) : path(std::move(storePath)), turnstile(path) {}
  ~Impl() { Close(); }

  void Close() {
    if (db != nullptr) CloseFile(db, key);
    db = nullptr;
  }

  // Opens the store unless this object already has it open for `write` (a
  // read-only connection is reopened for writing). False with *why set on
  // failure; false with *why empty when a reader finds no store file.
  bool EnsureOpen(bool write, std::string* why) {
    // A connection that found no table opens again: a writer may have
    // created it since.
    if (db != nullptr && hasTable && (writable || !write)) return true;
    Close();
    if (path.empty()) {
      *why = "no store path set";
      return false;
    }
    sqlite3* opened = nullptr;
    FileKey openedKey;
    if (OpenFile(path, write, &opened, &openedKey, why) != SQLITE_OK) return false;
    if (Configure(opened, write, &hasTable, why) != SQLITE_OK) {
      CloseFile(opened, openedKey);
      return false;
    }
    db = opened;
    key = openedKey;
    writable = write;
    return true;
  }

  const std::string path;
  zrfw::StoreTurnstile turnstile;  // queues this handle's calls fairly with all others
  sqlite3* db = nullptr;
  FileKey key;            // the file `db` is open on
  bool writable = false;  // `db` was opened for writing
  bool hasTable = false;  // the settings table exists (always, once writable)
};

void ZRPlatformInfo::SetStorePath(const std::string& path) {
  StorePath& store = TheStorePath();
  zrperf::MutexLock lock(&store.mutex);
  store.path = path;
}

std::string ZRPlatformInfo::GetStorePath() {
  StorePath& store = TheStorePath();
  zrperf::MutexLock lock(&store.mutex);
  return store.path;
}

ZRPlatformInfo::ZRPlatformInfo() : m_pImpl(new Impl(GetStorePath())) {}

ZRPlatformInfo::~ZRPlatformInfo() {
  delete m_pImpl;
}

int ZRPlatformInfo::getString(const char* section, const char* name, std::string* value) {
  if (section == nullptr || name == nullptr || value == nullptr) return 0;
  ForgetFileFailure();
  const TurnWait wait;
  zrfw::TurnstilePass pass(&m_pImpl->turnstile, false, wait.deadline);
  if (!pass.Entered()) {
    Report(__PRETTY_FUNCTION__, __LINE__, m_pImpl->path, wait.NoTurn(m_pImpl->turnstile));
    return 0;
  }
  std::string why;
  if (!m_pImpl->EnsureOpen(false, &why)) {
    if (!why.empty()) Report(__PRETTY_FUNCTION__, __LINE__, m_pImpl->path, why);
    return 0;
  }
  if (!m_pImpl->hasTable) return 0;  // an empty store: no setting yet
  sqlite3* const db = m_pImpl->db;
  bool found = false;
  std::string read;
  const int rc = RetryWhileBusy(db, [&] {
    Statement stmt;
    int r = Prepare(db, kSelect, &stmt);
    if (r == SQLITE_OK) {
      sqlite3_bind_text(stmt.get(), 1, section, -1, SQLITE_STATIC);
      sqlite3_bind_text(stmt.get(), 2, name, -1, SQLITE_STATIC);
      r = sqlite3_step(stmt.get());
    }
    if (r == SQLITE_ROW) {
      const void* bytes = sqlite3_column_blob(stmt.get(), 0);
      const size_t size = static_cast<size_t>(sqlite3_column_bytes(stmt.get(), 0));
      read.assign(static_cast<const char*>(bytes), bytes != nullptr ? size : 0);
      found = true;
      return SQLITE_OK;
    }
    if (r == SQLITE_DONE) return SQLITE_OK;
    why = Describe(db, r);
    return r;
  });
  if (rc != SQLITE_OK) {
    Report(__PRETTY_FUNCTION__, __LINE__, m_pImpl->path, why);
    m_pImpl->Close();  // the next call opens afresh
    return 0;
  }
  if (!found) return 0;
  value->swap(read);
  return 1;
}

int ZRPlatformInfo::setString(const char* section, const char* name, const char* value,
                              int length) {
  if (section == nullptr || name == nullptr || value == nullptr || length < 0) return 0;
  ForgetFileFailure();
  const TurnWait wait;
  zrfw::TurnstilePass pass(&m_pImpl->turnstile, true, wait.deadline);
  if (!pass.Entered()) {
    Report(__PRETTY_FUNCTION__, __LINE__, m_pImpl->path, wait.NoTurn(m_pImpl->turnstile));
    return 0;
  }
  std::string why;
  if (!m_pImpl->EnsureOpen(true, &why)) {
    Report(__PRETTY_FUNCTION__, __LINE__, m_pImpl->path, why);
    return 0;
  }
  m_pImpl->turnstile.CreateIfMissing();  // the next calls queue in it
  sqlite3* const db = m_pImpl->db;
  const int rc = WriteTransaction(
      db,
      [&] {
        Statement stmt;
        int r = Prepare(db, kUpsert, &stmt);
        if (r != SQLITE_OK) return r;
        sqlite3_bind_text(stmt.get(), 1, section, -1, SQLITE_STATIC);
        sqlite3_bind_text(stmt.get(), 2, name, -1, SQLITE_STATIC);
        // A zero-length blob, not NULL, for an empty value.
        sqlite3_bind_blob(stmt.get(), 3, length > 0 ? value : "", length, SQLITE_STATIC);
        r = sqlite3_step(stmt.get());
        return r == SQLITE_DONE ? SQLITE_OK : r;
      },
      &why);
  if (rc != SQLITE_OK) {
    Report(__PRETTY_FUNCTION__, __LINE__, m_pImpl->path, why);
    m_pImpl->Close();  // the next call opens afresh
    return 0;
  }
  return 1;
}
