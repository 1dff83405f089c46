#include "StoreFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>

#include <zrperf/sync/Mutex.h>
#include "StoreSql.h"

namespace zrfw {
namespace store {

namespace {

constexpr char kSqliteMagic[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f',
                                   'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};

// The store files this process has SQLite connections on, by device and
// inode, with their number. POSIX record locks belong to the process, and
// closing any descriptor of a file drops all of them: the header check below
// opens and closes the file itself, which would silently release the locks
// that other threads' connections hold on it. It therefore runs only while the
// process has no connection on that file, under this registry's mutex, which
// every open and close of a connection also takes. Never destroyed, so
// that threads still running at process exit find it intact.
struct OpenStores {
  zrperf::Mutex mutex;
  std::map<FileKey, int> connections ZR_GUARDED_BY(mutex);
};

OpenStores& TheOpenStores() {
  static OpenStores* const instance = new OpenStores;
  return *instance;
}

std::string DescribeErrno(const char* what, int err) {
  return std::string(what) + ": " + std::strerror(err);
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

}  // namespace

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

void CloseFile(sqlite3* db, const FileKey& key) {
  OpenStores& stores = TheOpenStores();
  zrperf::MutexLock lock(&stores.mutex);
  sqlite3_close_v2(db);
  auto it = stores.connections.find(key);
  if (it != stores.connections.end() && --it->second == 0) stores.connections.erase(it);
}

}  // namespace store
}  // namespace zrfw
