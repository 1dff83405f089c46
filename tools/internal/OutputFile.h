// Internal to zrperf-report: an output file written whole or not at all.
//
// The bytes go to a temporary file that is created new and exclusively in
// the target's directory: a random name ".<target>.<10 random characters>"
// opened with O_CREAT|O_EXCL|O_NOFOLLOW, so a file or link that another user
// planted there is never opened, followed or reused (a clash takes another
// name). Commit() flushes it to disk and renames it over the target (which
// replaces a link at the target's name, never what it points to); an object
// that goes uncommitted removes its temporary. Two processes writing one
// target each write their own temporary and the target is one of theirs,
// whole. The file gets the mode 0666 less the umask, as a new file does.
//
// Messages name the target (in ShownName() form), the step that failed and
// its errno text: "cannot write 'out/x.csv': creating a temporary file in
// 'out/': No such file or directory".
//
// Thread-safety: an object is used by one thread at a time.

#ifndef ZRPERF_TOOLS_INTERNAL_OUTPUTFILE_H_
#define ZRPERF_TOOLS_INTERNAL_OUTPUTFILE_H_

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

  // Creates the temporary for `path`. False with `error` set.
  bool Create(const std::string& path, std::string* error);

  // The temporary's descriptor (for a child process to write), or -1.
  int fd() const { return m_fd; }

  // Appends `bytes` to the temporary. False with `error` set.
  bool Write(const std::string& bytes, std::string* error);

  // Flushes, closes and renames the temporary over the target. False with
  // `error` set, the temporary removed and the target left as it was.
  bool Commit(std::string* error);

 private:
  bool Fail(const std::string& step, int error, std::string* message);

  std::function<std::string()> m_suffixes;
  std::string m_path;
  std::string m_temporary;  // empty once renamed or removed
  int m_fd = -1;
};

// Writes `text` to `path` through an OutputFile, or to standard output when
// `path` is empty. False with `error` set.
bool WriteOutput(const std::string& path, const std::string& text, std::string* error);

}  // namespace zrreport

#endif  // ZRPERF_TOOLS_INTERNAL_OUTPUTFILE_H_
