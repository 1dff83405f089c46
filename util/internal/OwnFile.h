// Internal (the common library, see README.md here): opening a path that
// another user may have prepared, for the histogram log and the demo's state
// directory.
//
// A path in a directory that others can write (a shared /tmp, a log
// directory of another group) may hold, before the process comes, a symbolic
// link to a file that the process may write and its planter may not, a hard
// link to one, a FIFO, or a file that the planter owns and so can read or
// swap. OpenOwn() opens the path without following a link in its last
// component, creates a missing file new (O_CREAT with O_EXCL, which never
// follows a link either), and accepts what it opened only when it is of the
// kind asked for, is no hard link of another name (a file), and belongs to the
// effective user. The checks look at the open descriptor, so what was checked
// is what the caller then uses. Links in the directories above the last
// component are followed: they are the caller's choice of place.
//
// Thread-safety: a function of its arguments and the file system.

#ifndef ZRPERF_UTIL_INTERNAL_OWNFILE_H_
#define ZRPERF_UTIL_INTERNAL_OWNFILE_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace zrperf {

enum class OwnKind {
  kFile,       // a regular file with this one name
  kDirectory,  // a directory
};

// Opens `path` with `flags` (its access mode, with O_APPEND and the like; the
// function adds O_NOFOLLOW, O_CLOEXEC, O_NOCTTY and O_NONBLOCK, so that a FIFO
// cannot hold the call, and O_DIRECTORY for a directory). With `create`, a
// missing file is created new with `mode` (less the umask); a file that
// another process creates meanwhile is opened as found. Returns the descriptor
// with *st describing it; -1 with *why set to one line that starts with the
// path and says what was refused or failed ("PATH is a symbolic link", "PATH
// belongs to another user (owner uid N)", "PATH cannot be opened: REASON")
// and errno set to the failing call's error, or to 0 for a refusal.
int OpenOwn(const std::string& path, OwnKind kind, int flags, bool create, mode_t mode,
            struct stat* st, std::string* why);

}  // namespace zrperf

#endif  // ZRPERF_UTIL_INTERNAL_OWNFILE_H_
