#include "ZrScsiUtils.h"

#include <boost/algorithm/string/trim.hpp>
#include <exception>
#include <fstream>
#include <istream>
#include <iterator>
#include <locale>

#include "../framework/ErrorUtil.h"
#include "../framework/KyPath.h"
#include "../framework/LogWriterInterface.h"
#include "../sync/CodeLocation.h"

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

}  // namespace

CKyError ZrScsiUtils::GetCommaSeperatedValues(const std::string& path,
                                              std::vector<std::string>& values) {
  if (!CKyPath::IsFile(path.c_str())) return CKyError::Success();

  try {
    // One stream serves every attempt; it closes the file when it goes.
    std::ifstream stream;
    int attempt = 0;
    while (attempt < kAttempts) {
      stream.open(path.c_str(), std::ios_base::in);
      using FieldIterator = std::istream_iterator<SVField<','>>;
      std::vector<std::string> read((FieldIterator(stream)), FieldIterator());
      // Extraction stops at end of file or at the first failure (failed
      // open, read error); only the first means that the whole list was read.
      if (stream.eof()) {
        values.swap(read);
        break;
      }
      // Unguarded: a retry is always worth reporting. Dropped when the host
      // has installed no sink.
      if (CLogWriterInterface* sink = g_ptrLogWriter.get()) {
        sink->WriteLog(-1, kFunction, kRetryWarningLine, 0, 0,
                       "EOF did not reach while reading comma seperated pre-init target list "
                       "from file %s. Retrying (attempt - %d)",
                       path.c_str(), attempt);
      }
      stream.clear();
      stream.close();
      ++attempt;
    }
    if (attempt == kAttempts) {
      return FXErrorUtil::ErrorWin32(
          FXCodeLocation(kSourceFile, kFunction, kIncompleteReadLine), kReadErrorCode,
          "Failed to read complete list of comma seperated values from file [%s]", path.c_str());
    }
    return CKyError::Success();
  } catch (const std::exception& e) {
    return FXErrorUtil::ErrorWin32(
        FXCodeLocation(kSourceFile, kFunction, kExceptionLine), kReadErrorCode,
        "Exception [%s] while reading comma seperated values from file [%s]", e.what(),
        path.c_str());
  }
}
