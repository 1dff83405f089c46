// Internal to zrperf-report: an output file written whole or not at all, or
// a character device written in place.
//
// What is at the target's name decides (lstat, links not followed):
// - nothing, a regular file, or a symbolic link to one (or to nothing): the
//   bytes go to a temporary file that is created new and exclusively in the
//   target's directory: a random name ".<target>.<10 random characters>"
//   opened with O_CREAT|O_EXCL|O_NOFOLLOW, so a file or link that another
//   user planted there is never opened, followed or reused (a clash takes
//   another name). Commit() flushes it to disk and renames it over the
//   target (which replaces a link at the target's name, never what it points
//   to); an object that goes uncommitted removes its temporary. Two
//   processes writing one target each write their own temporary and the
//   target is one of theirs, whole. The file gets the mode 0666 less the
//   umask, as a new file does.
// - a character device (/dev/null, /dev/full, a terminal): opened without
//   following a link, without becoming the controlling terminal and without
//   waiting in open(), and written in place; it is never replaced. A write
//   it refuses (ENOSPC from /dev/full) is the output's failure.
// - anything else is refused and left as it is: a directory, a FIFO (never
//   opened, so nothing waits for a reader), a socket, a block device, and a
//   link to any of these or to a character device (a link is replaced,
//   never followed, and one that leads to something that is not a regular
//   file is not replaced either: /dev/stdout stays the system's).
//
// Every open, write, flush, close, rename and removal goes through the file
// seam (zrfw::Files()); an EINTR is retried (a close that reports it has
// closed the file, after its data was flushed). Messages name the target (in
// ShownName() form), the step that failed and its errno text: "cannot write
// 'out/x.csv': creating a temporary file in 'out/': No such file or
// directory", "cannot write 'd': it is a directory".
//
// Thread-safety: an object is used by one thread at a time.

#ifndef ZRPERF_TOOLS_INTERNAL_OUTPUTFILE_H_
#define ZRPERF_TOOLS_INTERNAL_OUTPUTFILE_H_

#include <sys/types.h>

#include <functional>
#include <string>

namespace zrreport {

class OutputFile {
 public:
  // `suffixes` gives the temporary's name suffix for each attempt; the
  // default is ten random characters (a test gives names of its own).
  explicit OutputFile(std::function<std::string()> suffixes = nullptr);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opens the output for `path`: a temporary beside it, or the character
  // device itself. False with `error` set.
  bool Create(const std::string& path, std::string* error);

  // Appends `bytes`. False with `error` set (and the temporary removed).
  bool Write(const std::string& bytes, std::string* error);

  // Flushes, closes and renames the temporary over the target (a device:
  // closes it). False with `error` set, the temporary removed and the
  // target left as it was.
  bool Commit(std::string* error);

 private:
  bool Fail(const std::string& step, int error, std::string* message);
  bool Refuse(const std::string& why, std::string* message);
  bool OpenDevice(dev_t device, std::string* error);
  void Discard();

  std::function<std::string()> m_suffixes;
  std::string m_path;
  std::string m_temporary;  // empty once renamed or removed, and for a device
  int m_fd = -1;
};

// Writes `text` to `path` through an OutputFile, or to standard output when
// `path` is empty. False with `error` set.
bool WriteOutput(const std::string& path, const std::string& text, std::string* error);

}  // namespace zrreport

#endif  // ZRPERF_TOOLS_INTERNAL_OUTPUTFILE_H_
