#include "CounterFeatures.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace zrfw {

namespace {

// The value of the first line whose key (the text before ':', without the
// surrounding blanks) is `key`; false when there is none.
bool FindValue(const std::string& text, const std::string& key, std::string* value) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::size_t first = line.find_first_not_of(" \t");
    const std::size_t last = line.find_last_not_of(" \t", colon == 0 ? 0 : colon - 1);
    if (first >= colon || last == std::string::npos ||
        line.compare(first, last + 1 - first, key) != 0) {
      continue;
    }
    *value = line.substr(colon + 1);
    return true;
  }
  return false;
}

bool HasWord(const std::string& words, const std::string& word) {
  std::istringstream in(words);
  std::string w;
  while (in >> w) {
    if (w == word) return true;
  }
  return false;
}

}  // namespace

CounterArch BuildArch() noexcept {
#if defined(__x86_64__)
  return CounterArch::kX86_64;
#elif defined(__powerpc64__)
  return CounterArch::kPpc64;
#else
  return CounterArch::kOther;
#endif
}

CounterChoice ChooseCounter(CounterArch arch, const std::string& cpuinfo) {
  CounterChoice choice;
  std::string value;
  switch (arch) {
    case CounterArch::kX86_64:
      choice.useCounter = FindValue(cpuinfo, "flags", &value) && HasWord(value, "constant_tsc") &&
                          HasWord(value, "nonstop_tsc");
      break;
    case CounterArch::kPpc64:
      choice.useCounter = true;
      if (FindValue(cpuinfo, "timebase", &value)) {
        const double hz = std::strtod(value.c_str(), nullptr);
        if (hz > 0) choice.declaredHz = hz;
      }
      break;
    case CounterArch::kOther:
      break;
  }
  return choice;
}

std::string ReadCpuinfo() {
  std::FILE* file = std::fopen("/proc/cpuinfo", "re");
  if (file == nullptr) return "";
  std::string text;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    text.append(buffer, n);
    // On x86-64 the first processor's flags line is all that is needed; the
    // rest of a many-core machine's text is not worth reading.
    if (BuildArch() == CounterArch::kX86_64) {
      const std::size_t flags = text.find("\nflags");
      if (flags != std::string::npos && text.find('\n', flags + 1) != std::string::npos) break;
    }
  }
  std::fclose(file);
  return text;
}

}  // namespace zrfw
