// ZRPlatformInfo: the machine's configuration store.
//
// Settings are byte strings addressed by (section, name). They live in an
// SQLite database file shared by every process of the machine: commits are
// durable, concurrent writers from several processes and threads all succeed
// (waiting on a busy timeout), and writing one setting never loses another.
//
// Each object is a short-lived handle on the store; objects may be used on
// different threads at once, one object is used by one thread at a time.
// An object is not carried across fork(): a child process builds its own.
//
// Storage. The database file (kDefaultStorePath unless SetStorePath() names
// another) is opened on an object's first getString()/setString() call and
// closed by its destructor. The path is always a file path, never a URI ("file:/x/y.db" is
// the relative path of that name). A reader never creates a file: a missing
// store holds no setting. A writer creates a missing file, with its parent
// directories; an existing file is opened only when it is empty or starts with
// the SQLite header, so a file that is not a database is never written to.
// One table holds every setting:
//
//   CREATE TABLE settings(section TEXT NOT NULL, name TEXT NOT NULL,
//                         value BLOB NOT NULL, PRIMARY KEY (section, name))
//   WITHOUT ROWID;
//
// Sections and names are compared byte for byte (case-sensitive). The
// database keeps a rollback journal (journal_mode=DELETE) with
// synchronous=FULL, so a committed write survives a crash of the process or
// the machine, and a reader needs nothing but read access to the database
// file: it creates no file, so it cannot lock the owner out of a shared
// directory, and a store on a read-only mount can be read. A write is one
// BEGIN IMMEDIATE transaction holding one upsert of its row; a caller that
// finds the store locked by another writer waits (up to about 30 seconds in
// all) rather than failing.
//
// Fair turns. A writer that has opened the store for writing also creates
// the lock file "<store>-lock" beside it when it is missing and the directory
// lets it (same permission bits as the database, and as root the same owner).
// While that file exists, every call waits its turn in two byte locks on it,
// readers together and writers one at a time, before it touches the
// database: a process writing in a loop cannot starve the other writers or
// the readers, and a process that dies leaves the queue at once. A call that
// gets no turn within 30 seconds (a process stopped inside a call, or one
// that holds a turn for good) fails as on a busy database: it returns 0 with
// a record "database is locked (no turn in <store>-lock within 30 s)". The
// lock file is used only when it is a regular file with one name, owned by
// the database's owner and no more open than the database (a caller that may
// narrows its bits to the database's); a reader never creates it. Where it is
// missing or unusable, calls rely on SQLite's busy handler alone.
//
// Faults. A store that cannot be opened, created or written makes the call
// return 0 and sends one level -1 record per failing call to g_ptrLogWriter,
// when a sink is installed; where a file call failed, the record ends with it
// and its error ("... (failed file call: pwrite: No space left on device)").
// A failed call leaves its object with no connection, so the next call opens
// the store afresh; a writer never writes through a connection that SQLite
// could open only read-only. An interrupted file call (EINTR) is retried.
// Bad arguments and absent settings return 0 and report nothing.
//
// Files. Every file call of the store, SQLite's reads, writes, opens, closes
// and removals included, goes through the file seam zrfw::Files()
// (FileSystem.h); SQLite's fsync, fstat, fcntl and ftruncate do not (SQLite
// offers no way to replace them).

#ifndef ZRPERF_FRAMEWORK_PLATFORMINFO_H_
#define ZRPERF_FRAMEWORK_PLATFORMINFO_H_

#include <string>

#include <zrperf/sync/Export.h>

class ZRFW_EXPORT ZRPlatformInfo {
 public:
  // The database file used when SetStorePath() was never called.
  static const char* const kDefaultStorePath;  // "/var/lib/zrperf/platform.db"

  // Sets the database file for the process; takes effect for objects built
  // afterwards. Thread-safe.
  static void SetStorePath(const std::string& path);
  static std::string GetStorePath();

  ZRPlatformInfo();
  ~ZRPlatformInfo();
  ZRPlatformInfo(const ZRPlatformInfo&) = delete;
  ZRPlatformInfo& operator=(const ZRPlatformInfo&) = delete;

  // Copies the setting into *value and returns nonzero when it exists;
  // returns 0 and leaves *value unchanged when it is absent, on a null
  // argument, or when the store cannot be read.
  int getString(const char* section, const char* name, std::string* value);

  // Stores the `length` bytes at `value` (any bytes, NUL included) as the
  // setting and returns nonzero once the write is committed; returns 0 and
  // writes nothing on a null argument, a negative length, or a store that
  // cannot be opened or written.
  int setString(const char* section, const char* name, const char* value, int length);

 private:
  struct Impl;    // the store path taken at construction and the connection
  Impl* m_pImpl;  // owned; the connection inside is opened lazily on first use
};

#endif  // ZRPERF_FRAMEWORK_PLATFORMINFO_H_
