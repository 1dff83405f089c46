#include "ZrScsiUtils.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/algorithm/string/trim.hpp>
#include <cstring>
#include <exception>
#include <istream>
#include <iterator>
#include <locale>
#include <sstream>

#include <zrperf/framework/ErrorUtil.h>
#include <zrperf/framework/FileSystem.h>
#include <zrperf/framework/KyPath.h>
#include <zrperf/framework/LogWriterInterface.h>
#include <zrperf/sync/CodeLocation.h>
#include <zrperf/util/internal/RecordText.h>

namespace {

// What every record and error location of the reader names as its origin.
// The texts and line numbers are fixed: the service's log readers and support
// tooling match on them, so they do not follow this file's layout.
constexpr char kSourceFile[] = "ZrScsiUtils.cpp";
constexpr char kFunction[] =
    "static CKyError ZrScsiUtils::GetCommaSeperatedValues(const string&, "
    "std::vector<std::__cxx11::basic_string<char> >&)";
constexpr int kRetryWarningLine = 37;
constexpr int kIncompleteReadLine = 48;
constexpr int kExceptionLine = 53;

constexpr unsigned kReadErrorCode = 774;
constexpr int kAttempts = 3;

// One field of a list separated by `Delim`: a string that extracts the
// characters up to the next delimiter (consumed, not stored) and trims them.
template <char Delim>
class SVField : public std::string {};

// The trim uses a copy of the global locale taken at each call, so a host
// that changes the global locale changes what counts as space at once. It
// also runs after a failed extraction; the stream's state then ends the read
// and the field is discarded.
template <char Delim>
std::istream& operator>>(std::istream& in, SVField<Delim>& field) {
  std::getline(in, field, Delim);
  boost::algorithm::trim(field, std::locale());
  return in;
}

// Closes a descriptor when it goes.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : m_fd(fd) {}
  ~FileDescriptor() {
    if (m_fd >= 0) zrfw::Files().Close(m_fd);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return m_fd; }

 private:
  int m_fd;
};

// Opens `path` once, without blocking (a FIFO or device put in its place
// cannot hold the caller) and without leaking the descriptor into a child
// process.
int OpenForReading(const std::string& path) {
  return zrfw::Files().Open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
}

bool IsRegularFile(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// Reads the open regular file to its end into *text. False on any read error,
// including EAGAIN from a file whose read would block (such as /proc/kmsg,
// which stat() calls a regular file).
bool ReadAll(int fd, std::string* text) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = zrfw::Files().Read(fd, buffer, sizeof(buffer));
    if (n > 0) {
      text->append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      return true;
    } else if (errno != EINTR) {
      return false;
    }
  }
}

// The path as records show it: up to its first NUL, control characters
// escaped, so that a path cannot forge a record line.
std::string Shown(const std::string& path) {
  return zrperf::EscapeRecordText(std::string(path.c_str(), std::strlen(path.c_str())));
}

}  // namespace

CKyError ZrScsiUtils::GetCommaSeperatedValues(const std::string& path,
                                              std::vector<std::string>& values) {
  // The path is opened, then checked through the descriptor, so nothing can
  // be swapped in between. A path that cannot be opened is an empty request
  // unless it names a regular file (which then fails its attempts below).
  FileDescriptor first(OpenForReading(path.c_str()));
  if (first.get() < 0 ? !CKyPath::IsFile(path.c_str()) : !IsRegularFile(first.get())) {
    return CKyError::Success();
  }

  try {
    int attempt = 0;
    while (attempt < kAttempts) {
      // Each attempt after the first opens the path again.
      FileDescriptor again(attempt == 0 ? -1 : OpenForReading(path.c_str()));
      const int fd = attempt == 0 ? first.get() : again.get();
      std::string text;
      if (fd >= 0 && IsRegularFile(fd) && ReadAll(fd, &text)) {
        std::istringstream stream(text);
        using FieldIterator = std::istream_iterator<SVField<','>>;
        std::vector<std::string> read((FieldIterator(stream)), FieldIterator());
        values.swap(read);
        break;
      }
      // Unguarded: a retry is always worth reporting. Dropped when the host
      // has installed no sink.
      zrfw::SendLog(zrfw::LevelRule::kAlways, -1, kFunction, kRetryWarningLine,
                    "EOF did not reach while reading comma seperated pre-init target list "
                    "from file %s. Retrying (attempt - %d)",
                    Shown(path).c_str(), attempt);
      ++attempt;
    }
    if (attempt == kAttempts) {
      return FXErrorUtil::ErrorWin32(
          FXCodeLocation(kSourceFile, kFunction, kIncompleteReadLine), kReadErrorCode,
          "Failed to read complete list of comma seperated values from file [%s]",
          Shown(path).c_str());
    }
    return CKyError::Success();
  } catch (const std::exception& e) {
    return FXErrorUtil::ErrorWin32(
        FXCodeLocation(kSourceFile, kFunction, kExceptionLine), kReadErrorCode,
        "Exception [%s] while reading comma seperated values from file [%s]", e.what(),
        Shown(path).c_str());
  }
}
