#include "PlatformInfo.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/shared_ptr.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "../sync/Mutex.h"
#include "LogWriterInterface.h"
#include "internal/StoreTurnstile.h"

const char* const ZRPlatformInfo::kDefaultStorePath = "/var/lib/zrperf/platform.db";

namespace {

// How long SQLite's own busy handler waits for one lock, and how long a call
// keeps retrying in all (some lock conflicts, e.g. a WAL snapshot that went
// stale, return SQLITE_BUSY at once without calling the busy handler).
constexpr int kBusyTimeoutMs = 10000;
constexpr std::chrono::seconds kRetryBudget(30);

constexpr char kSqliteMagic[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f',
                                   'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS settings("
    "section TEXT NOT NULL, name TEXT NOT NULL, value BLOB NOT NULL, "
    "PRIMARY KEY (section, name)) WITHOUT ROWID";
constexpr const char* kHasTable =
    "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'settings'";
constexpr const char* kSelect = "SELECT value FROM settings WHERE section = ?1 AND name = ?2";
constexpr const char* kUpsert =
    "INSERT INTO settings(section, name, value) VALUES (?1, ?2, ?3) "
    "ON CONFLICT(section, name) DO UPDATE SET value = excluded.value";

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

// The store files this process has SQLite connections on, by device and
// inode, with their number. POSIX record locks belong to the process, and
// closing any descriptor of a file drops all of them: the header check below
// opens and closes the file itself, which would silently release the locks
// that other threads' connections hold on it. It therefore runs only while the
// process has no connection on that file, under this registry's mutex, which
// every open and close of a connection also takes. Never destroyed, like
// StorePath.
using FileKey = std::pair<dev_t, ino_t>;

struct OpenStores {
  zrperf::Mutex mutex;
  std::map<FileKey, int> connections ZR_GUARDED_BY(mutex);
};

OpenStores& TheOpenStores() {
  static OpenStores* const instance = new OpenStores;
  return *instance;
}

struct StatementDeleter {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

bool IsBusy(int rc) {
  const int primary = rc & 0xFF;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

// Runs `attempt` (which returns an SQLite result code) again while it reports
// a lock conflict, with a short randomised back-off, until the retry budget
// is spent. Returns the last result code.
template <typename Attempt>
int RetryWhileBusy(Attempt attempt) {
  const auto deadline = std::chrono::steady_clock::now() + kRetryBudget;
  thread_local std::minstd_rand jitter(std::random_device{}());
  int pauseMs = 1;
  for (;;) {
    const int rc = attempt();
    if (!IsBusy(rc) || std::chrono::steady_clock::now() >= deadline) return rc;
    std::uniform_int_distribution<int> pick(1, pauseMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(pick(jitter)));
    if (pauseMs < 64) pauseMs *= 2;
  }
}

std::string Describe(sqlite3* db, int rc) {
  std::string text = sqlite3_errstr(rc);
  if (db != nullptr && sqlite3_extended_errcode(db) == rc) {
    text += " (";
    text += sqlite3_errmsg(db);
    text += ")";
  }
  return text;
}

std::string DescribeErrno(const char* what, int err) {
  return std::string(what) + ": " + std::strerror(err);
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

// True when the file at `path` is empty or starts with the SQLite header.
// SQLite itself would refuse a foreign file too, but only after it may have
// acted on a stray journal next to it; this check keeps its hands off.
bool LooksLikeDatabase(const std::string& path, std::string* why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *why = DescribeErrno("cannot open", errno);
    return false;
  }
  char header[sizeof(kSqliteMagic)];
  size_t got = 0;
  while (got < sizeof(header)) {
    const ssize_t n = ::read(fd, header + got, sizeof(header) - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *why = DescribeErrno("cannot read", errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  if (got == 0) return true;  // a new store that another process is creating
  if (got == sizeof(header) && std::memcmp(header, kSqliteMagic, sizeof(header)) == 0) return true;
  *why = "not an SQLite database; the file is left untouched";
  return false;
}

// The name to give SQLite for the file at `path`. SQLite takes a name that
// begins with "file:" for a URI when URI names are enabled (they may be for the
// whole process: a build default or another user of the library), and ":memory:"
// for an in-memory database; a relative path is therefore given as "./path",
// which names the same file and is never read either way.
std::string SqliteName(const std::string& path) {
  return path[0] == '/' ? path : "./" + path;
}

// A store file that does not exist, found by a reader: no setting is stored.
constexpr int kNoStore = -1;

// Opens the database file at `path`: for writing, creating it and its parent
// directories when it does not exist (never creating or truncating over an
// existing file); for reading only, never creating anything (kNoStore when
// the file does not exist). On success *key names the file for
// CloseFile().
int OpenFile(const std::string& path, bool write, sqlite3** db, FileKey* key, std::string* why) {
  OpenStores& stores = TheOpenStores();
  zrperf::MutexLock lock(&stores.mutex);
  // Read-write even for a reader, so that it can roll back the journal of a
  // writer that died mid-commit (SQLite opens read-only where it may not
  // write); in rollback-journal mode reading creates no file.
  int flags = SQLITE_OPEN_READWRITE;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      *why = "not a regular file";
      return SQLITE_CANTOPEN;
    }
    const auto it = stores.connections.find(FileKey(st.st_dev, st.st_ino));
    const bool inUse = it != stores.connections.end();
    if (!inUse && !LooksLikeDatabase(path, why)) return SQLITE_NOTADB;
  } else {
    if (errno != ENOENT) {
      *why = DescribeErrno("cannot reach", errno);
      return SQLITE_CANTOPEN;
    }
    if (!write) return kNoStore;
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    std::error_code ec;
    if (!parent.empty() && !std::filesystem::is_directory(parent, ec)) {
      std::filesystem::create_directories(parent, ec);
      if (ec) {
        *why = "cannot create directory " + parent.string() + ": " + ec.message();
        return SQLITE_CANTOPEN;
      }
    }
    flags |= SQLITE_OPEN_CREATE;
  }
  int rc = sqlite3_open_v2(SqliteName(path).c_str(), db, flags, nullptr);
  if (rc == SQLITE_OK && ::stat(path.c_str(), &st) != 0) {
    *why = DescribeErrno("cannot reach", errno);  // removed under our feet
    rc = SQLITE_CANTOPEN;
  } else if (rc != SQLITE_OK) {
    *why = Describe(*db, rc);
  }
  if (rc != SQLITE_OK) {
    sqlite3_close_v2(*db);
    *db = nullptr;
    return rc;
  }
  *key = FileKey(st.st_dev, st.st_ino);
  ++stores.connections[*key];
  return SQLITE_OK;
}

// Closes a connection that OpenFile() opened.
void CloseFile(sqlite3* db, const FileKey& key) {
  OpenStores& stores = TheOpenStores();
  zrperf::MutexLock lock(&stores.mutex);
  sqlite3_close_v2(db);
  auto it = stores.connections.find(key);
  if (it != stores.connections.end() && --it->second == 0) stores.connections.erase(it);
}

// Runs `body` (which returns a result code) inside BEGIN IMMEDIATE ... COMMIT,
// and the whole transaction again while another connection holds the lock.
// IMMEDIATE takes the write lock up front (waiting in the busy handler), so
// the body never has to upgrade a read snapshot that another writer moved.
// On failure *why describes the error, taken before the rollback clears it.
template <typename Body>
int WriteTransaction(sqlite3* db, Body body, std::string* why) {
  return RetryWhileBusy([&] {
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
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  // Reading the schema version reads the header: a foreign file fails here.
  int rc = RetryWhileBusy([&] { return Exec(db, "PRAGMA schema_version"); });
  if (rc == SQLITE_OK && write) {
    Exec(db, "PRAGMA journal_mode=DELETE");  // kept as it is when another connection is open
    rc = Exec(db, "PRAGMA synchronous=FULL");
  }
  if (rc != SQLITE_OK) {
    *why = Describe(db, rc);
    return rc;
  }
  *hasTable = false;
  rc = RetryWhileBusy([&] {
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

// Sends one failure record to the process's sink, when one is installed.
void Report(const char* function, int line, const std::string& path, const std::string& why) {
  zrfw::SendLog(zrfw::LevelRule::kAlways, -1, function, line, "Configuration store %s: %s",
                path.c_str(), why.c_str());
}

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
  zrfw::TurnstilePass pass(&m_pImpl->turnstile, false);
  std::string why;
  if (!m_pImpl->EnsureOpen(false, &why)) {
    if (!why.empty()) Report(__PRETTY_FUNCTION__, __LINE__, m_pImpl->path, why);
    return 0;
  }
  if (!m_pImpl->hasTable) return 0;  // an empty store: no setting yet
  sqlite3* const db = m_pImpl->db;
  bool found = false;
  std::string read;
  const int rc = RetryWhileBusy([&] {
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
    return 0;
  }
  if (!found) return 0;
  value->swap(read);
  return 1;
}

int ZRPlatformInfo::setString(const char* section, const char* name, const char* value,
                              int length) {
  if (section == nullptr || name == nullptr || value == nullptr || length < 0) return 0;
  zrfw::TurnstilePass pass(&m_pImpl->turnstile, true);
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
    return 0;
  }
  return 1;
}
