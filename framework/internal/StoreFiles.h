// Internal to libzrframework: opening and closing the configuration store's
// database file (see PlatformInfo.h for what the store promises), with the
// process-wide registry of the files this process has connections on.
//
// Every file call of the store goes through the file seam (zrfw::Files()):
// its own (the header check here, the lock file of StoreTurnstile) and
// SQLite's. Before the first connection is opened, the system calls of
// SQLite's unix VFS that touch file contents and names (open, close, read,
// pread, pread64, write, pwrite, pwrite64, unlink) are pointed, once for the
// process, at functions that make them through the seam; SQLite has no hook
// for its fsync, fstat, ftruncate, fcntl and the like, which it makes
// itself. SQLite retries an interrupted open, read or write; the unlink
// replacement retries one too (SQLite would fail the commit on it). Each
// replacement that fails notes the call and its errno for the calling
// thread, so that a report can name the cause SQLite's own text hides (it
// reports EIO on a read as a malformed database, EFBIG as an I/O error).
//
// Thread-safety: any thread may open and close at any time; the registry's
// mutex is a leaf lock. The system calls are replaced under std::call_once
// before the process's first store connection; a host that opens SQLite
// connections of its own must not have them in use at that moment.

#ifndef ZRPERF_FRAMEWORK_INTERNAL_STOREFILES_H_
#define ZRPERF_FRAMEWORK_INTERNAL_STOREFILES_H_

#include <sqlite3.h>
#include <sys/types.h>

#include <string>
#include <utility>

namespace zrfw {
namespace store {

// A file by device and inode.
using FileKey = std::pair<dev_t, ino_t>;

// A store file that does not exist, found by a reader: no setting is stored.
constexpr int kNoStore = -1;

// Opens the database file at `path`: for writing, creating it and its parent
// directories when it does not exist (never creating or truncating over an
// existing file), and failing where SQLite could open it only read-only; for
// reading only, never creating anything (kNoStore when the file does not
// exist). Anything but a regular file that is empty or
// starts with the SQLite header is refused. Returns an SQLite result code;
// on success *key names the file for CloseFile(), on failure *why says why.
int OpenFile(const std::string& path, bool write, sqlite3** db, FileKey* key, std::string* why);

// Closes a connection that OpenFile() opened.
void CloseFile(sqlite3* db, const FileKey& key);

// Opens `path` through the file seam, again while the open is interrupted.
int OpenRetrying(const char* path, int flags, mode_t mode);

// The first file call that failed on this thread through SQLite's replaced
// system calls since ForgetFileFailure(), as " (failed file call: pwrite:
// File too large)"; "" when none failed.
std::string FileFailure();
void ForgetFileFailure();

}  // namespace store
}  // namespace zrfw

#endif  // ZRPERF_FRAMEWORK_INTERNAL_STOREFILES_H_
