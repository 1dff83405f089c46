// Internal to libzrframework: the fair queue in front of the configuration
// store's database file.
//
// SQLite's own busy handler waits by sleeping and trying again, so a process
// that writes in a loop takes the database lock back before a sleeping writer
// or reader wakes: the others starve (one writer saw 37,557 writes to the
// other's 489, reads waited half a minute). The turnstile puts the kernel's
// lock queue in front instead. It holds two open-file-description locks on a
// side file "<store>-lock":
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
// Waiting is bounded. A byte that another holds is waited for in the
// kernel's queue (F_OFD_SETLKW) on a short-lived thread of the caller's, which
// the caller joins until its deadline and cancels then (the blocking fcntl()
// is a cancellation point; a cut request takes nothing). So a process that
// holds a byte for good (a stopped one, or a reader of another user that took
// the room and keeps it) costs each waiting call its deadline, never all
// progress, while the queue stays as fair and prompt under load as a plain
// blocking wait (polling with sleeps lost both when the CPUs were busy).
//
// Only a writer creates the side file, and only next to a store it has just
// opened for writing (same permission bits, and as root the same owner, as
// the database); a reader never creates it. A side file is used only when it
// is a regular file with one name, owned by the database's owner, and no
// more open than the database: a caller that may (its owner, root) narrows
// the bits of one that is, since a store made private after its side file
// was created must not stay open to others through it. Where the side file
// is missing or fails these checks (a read-only directory or mount, a file
// planted by another user, a link) a call goes without the turnstile and
// relies on SQLite's busy handler alone.
//
// Thread-safety: one object per store handle, used by one thread at a time;
// distinct objects exclude each other, in one process or across processes.

#ifndef ZRPERF_FRAMEWORK_INTERNAL_STORETURNSTILE_H_
#define ZRPERF_FRAMEWORK_INTERNAL_STORETURNSTILE_H_

#include <chrono>
#include <string>

namespace zrfw {

class StoreTurnstile {
 public:
  using Deadline = std::chrono::steady_clock::time_point;

  // The side file's path for the store at `storePath`.
  static std::string LockPath(const std::string& storePath);

  explicit StoreTurnstile(std::string storePath);
  ~StoreTurnstile();
  StoreTurnstile(const StoreTurnstile&) = delete;
  StoreTurnstile& operator=(const StoreTurnstile&) = delete;

  // Waits for the room as a writer (`write`) or reader and holds it until
  // Leave(); false, holding nothing, when `deadline` passes first. Without a
  // usable side file, returns true at once and holds nothing.
  bool Enter(bool write, Deadline deadline);
  void Leave();

  // Creates the side file when it is missing; called by a writer after it has
  // opened the store for writing.
  void CreateIfMissing();

  const std::string& GetLockPath() const { return m_lockPath; }

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
  TurnstilePass(StoreTurnstile* turnstile, bool write, StoreTurnstile::Deadline deadline)
      : m_turnstile(turnstile), m_entered(turnstile->Enter(write, deadline)) {}
  ~TurnstilePass() { m_turnstile->Leave(); }
  TurnstilePass(const TurnstilePass&) = delete;
  TurnstilePass& operator=(const TurnstilePass&) = delete;

  // False when the deadline passed before the turn came.
  bool Entered() const { return m_entered; }

 private:
  StoreTurnstile* m_turnstile;
  const bool m_entered;
};

}  // namespace zrfw

#endif  // ZRPERF_FRAMEWORK_INTERNAL_STORETURNSTILE_H_
