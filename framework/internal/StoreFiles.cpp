#include "StoreFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>

#include <zrperf/framework/FileSystem.h>
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

// The first failed call of the replacements below on this thread since
// ForgetFileFailure(): what SQLite does after a failure (an open tried again
// read-only, say) may fail too, but only for that first cause.
struct FailedCall {
  const char* call = nullptr;
  int error = 0;
};
thread_local FailedCall t_failed;

// Notes a failed call (result < 0) with its errno; returns the result.
template <typename Result>
Result Noted(const char* call, Result result) {
  if (result < 0 && t_failed.call == nullptr) t_failed = FailedCall{call, errno};
  return result;
}

// SQLite's replaceable system calls, made through the file seam. The
// signatures are those SQLite calls them with: its open passes the mode as
// int (posixOpen), its pread64 and pwrite64 an off64_t.
int SeamOpen(const char* path, int flags, int mode) {
  return Noted("open", Files().Open(path, flags, static_cast<mode_t>(mode)));
}
int SeamClose(int fd) {
  return Noted("close", Files().Close(fd));
}
ssize_t SeamRead(int fd, void* buffer, size_t size) {
  return Noted("read", Files().Read(fd, buffer, size));
}
ssize_t SeamPRead(int fd, void* buffer, size_t size, off_t offset) {
  return Noted("pread", Files().PRead(fd, buffer, size, offset));
}
ssize_t SeamPRead64(int fd, void* buffer, size_t size, off64_t offset) {
  return Noted("pread", Files().PRead(fd, buffer, size, static_cast<off_t>(offset)));
}
ssize_t SeamWrite(int fd, const void* bytes, size_t size) {
  return Noted("write", Files().Write(fd, bytes, size));
}
ssize_t SeamPWrite(int fd, const void* bytes, size_t size, off_t offset) {
  return Noted("pwrite", Files().PWrite(fd, bytes, size, offset));
}
ssize_t SeamPWrite64(int fd, const void* bytes, size_t size, off64_t offset) {
  return Noted("pwrite", Files().PWrite(fd, bytes, size, static_cast<off_t>(offset)));
}
// SQLite fails the commit when deleting its journal is interrupted, which
// leaves the journal hot: the next opener would roll the commit back.
int SeamUnlink(const char* path) {
  for (;;) {
    const int rc = Files().Unlink(path);
    if (rc == 0 || errno != EINTR) return Noted("unlink", rc);
  }
}

template <typename Function>
sqlite3_syscall_ptr AsSyscall(Function* function) {
  return reinterpret_cast<sqlite3_syscall_ptr>(function);
}

// Points SQLite's unix VFS (the system calls are shared by all its
// variants) at the replacements. A name the build lacks (pread or pread64,
// depending on how it was built) answers SQLITE_NOTFOUND and is skipped.
void RouteSqliteThroughSeam() {
  sqlite3_vfs* const unixVfs = sqlite3_vfs_find("unix");
  if (unixVfs == nullptr || unixVfs->iVersion < 3 || unixVfs->xSetSystemCall == nullptr) return;
  const std::pair<const char*, sqlite3_syscall_ptr> calls[] = {
      {"open", AsSyscall(&SeamOpen)},         {"close", AsSyscall(&SeamClose)},
      {"read", AsSyscall(&SeamRead)},         {"pread", AsSyscall(&SeamPRead)},
      {"write", AsSyscall(&SeamWrite)},       {"pwrite", AsSyscall(&SeamPWrite)},
      {"unlink", AsSyscall(&SeamUnlink)},     {"pread64", AsSyscall(&SeamPRead64)},
      {"pwrite64", AsSyscall(&SeamPWrite64)},
  };
  for (const auto& [name, call] : calls) {
    if (std::strcmp(name, "pread64") == 0 || std::strcmp(name, "pwrite64") == 0) {
      if (sizeof(off64_t) != sizeof(off_t)) continue;  // the seam's offsets would not hold them
    }
    unixVfs->xSetSystemCall(unixVfs, name, call);
  }
}

// True when the file at `path` is empty or starts with the SQLite header.
// SQLite itself would refuse a foreign file too, but only after it may have
// acted on a stray journal next to it; this check keeps its hands off.
bool LooksLikeDatabase(const std::string& path, std::string* why) {
  const int fd = OpenRetrying(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY, 0);
  if (fd < 0) {
    *why = DescribeErrno("cannot open", errno);
    return false;
  }
  char header[sizeof(kSqliteMagic)];
  size_t got = 0;
  while (got < sizeof(header)) {
    const ssize_t n = Files().Read(fd, header + got, sizeof(header) - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *why = DescribeErrno("cannot read", errno);
      Files().Close(fd);
      return false;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  Files().Close(fd);          // read only: a failed close loses nothing
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

int OpenRetrying(const char* path, int flags, mode_t mode) {
  for (;;) {
    const int fd = Files().Open(path, flags, mode);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

std::string FileFailure() {
  if (t_failed.call == nullptr) return "";
  return std::string(" (failed file call: ") + t_failed.call + ": " +
         std::strerror(t_failed.error) + ")";
}

void ForgetFileFailure() {
  t_failed = FailedCall();
}

int OpenFile(const std::string& path, bool write, sqlite3** db, FileKey* key, std::string* why) {
  // Before the first connection: no connection may be using the calls.
  static std::once_flag routed;
  std::call_once(routed, RouteSqliteThroughSeam);
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
  } else if (rc == SQLITE_OK && write && sqlite3_db_readonly(*db, "main") == 1) {
    // SQLite opens read-only when its read-write open fails: a connection
    // that a writer could not write through.
    *why = "cannot open for writing (SQLite opened it read-only)";
    rc = SQLITE_READONLY;
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
