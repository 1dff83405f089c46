// Internal to libzrframework: the fair queue in front of the configuration
// store's database file.
//
// SQLite's own busy handler waits by sleeping and trying again, so a process
// that writes in a loop takes the database lock back before a sleeping writer
// or reader wakes: the others starve (one writer saw 37,557 writes to the
// other's 489, reads waited half a minute). The turnstile puts the kernel's
// lock queue in front instead. It holds two open-file-description locks
// (F_OFD_SETLKW) on a side file "<store>-lock":
//
//   byte 0, the door: taken exclusive by a writer, shared by a reader, only
//           while it waits for the room;
//   byte 1, the room: taken exclusive by a writer, shared by a reader, for
//           the whole store operation.
//
// A writer leaving the room cannot come back in while anyone stands in the
// door, so the one waiting there goes next; readers share both bytes. The
// kernel releases the locks of a process that dies (kill -9 included).
//
// Only a writer creates the side file, and only next to a store it has just
// opened for writing (same permission bits, and as root the same owner, as
// the database); a reader never creates it. Where it is missing or cannot be
// opened (a read-only directory or mount, another user's lock file) a call
// goes without the turnstile and relies on SQLite's busy handler alone.
//
// Thread-safety: one object per store handle, used by one thread at a time;
// distinct objects exclude each other, in one process or across processes.

#ifndef ZRPERF_FRAMEWORK_INTERNAL_STORETURNSTILE_H_
#define ZRPERF_FRAMEWORK_INTERNAL_STORETURNSTILE_H_

#include <string>

namespace zrfw {

class StoreTurnstile {
 public:
  // The side file's path for the store at `storePath`.
  static std::string LockPath(const std::string& storePath);

  explicit StoreTurnstile(std::string storePath);
  ~StoreTurnstile();
  StoreTurnstile(const StoreTurnstile&) = delete;
  StoreTurnstile& operator=(const StoreTurnstile&) = delete;

  // Waits for the room as a writer (`write`) or reader and holds it until
  // Leave(). Without a usable side file, returns at once and holds nothing.
  void Enter(bool write);
  void Leave();

  // Creates the side file when it is missing; called by a writer after it has
  // opened the store for writing.
  void CreateIfMissing();

 private:
  bool Open(bool write);

  const std::string m_lockPath;
  const std::string m_storePath;
  int m_fd = -1;
  bool m_writable = false;  // m_fd is open for writing
  bool m_inside = false;    // the room is held
};

// Enters a turnstile for one scope.
class TurnstilePass {
 public:
  TurnstilePass(StoreTurnstile* turnstile, bool write) : m_turnstile(turnstile) {
    m_turnstile->Enter(write);
  }
  ~TurnstilePass() { m_turnstile->Leave(); }
  TurnstilePass(const TurnstilePass&) = delete;
  TurnstilePass& operator=(const TurnstilePass&) = delete;

 private:
  StoreTurnstile* m_turnstile;
};

}  // namespace zrfw

#endif  // ZRPERF_FRAMEWORK_INTERNAL_STORETURNSTILE_H_
