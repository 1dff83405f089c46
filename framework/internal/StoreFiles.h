// Internal to libzrframework: opening and closing the configuration store's
// database file (see PlatformInfo.h for what the store promises), with the
// process-wide registry of the files this process has connections on.
//
// Thread-safety: any thread may open and close at any time; the registry's
// mutex is a leaf lock.

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
// existing file); for reading only, never creating anything (kNoStore when
// the file does not exist). Anything but a regular file that is empty or
// starts with the SQLite header is refused. Returns an SQLite result code;
// on success *key names the file for CloseFile(), on failure *why says why.
int OpenFile(const std::string& path, bool write, sqlite3** db, FileKey* key, std::string* why);

// Closes a connection that OpenFile() opened.
void CloseFile(sqlite3* db, const FileKey& key);

}  // namespace store
}  // namespace zrfw

#endif  // ZRPERF_FRAMEWORK_INTERNAL_STOREFILES_H_
