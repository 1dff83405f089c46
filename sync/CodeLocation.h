// FXCodeLocation: the place in the source that an error report names.
//
// The location keeps the two pointers it is given and never copies the texts.
// REQUIRES: both texts outlive the location (string literals do).

#ifndef ZRPERF_SYNC_CODELOCATION_H_
#define ZRPERF_SYNC_CODELOCATION_H_

class FXCodeLocation {
 public:
  constexpr FXCodeLocation(char const* file, char const* function, int line) noexcept
      : m_szFile(file), m_szFunction(function), m_nLine(line) {}
  ~FXCodeLocation() = default;

  constexpr char const* GetFile() const noexcept { return m_szFile; }
  constexpr char const* GetFunction() const noexcept { return m_szFunction; }
  constexpr int GetLine() const noexcept { return m_nLine; }

 private:
  char const* m_szFile;      // source file name
  char const* m_szFunction;  // the reporting function's full signature
  int m_nLine;               // source line
};

#endif  // ZRPERF_SYNC_CODELOCATION_H_
