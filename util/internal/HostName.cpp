#include "HostName.h"

#include <unistd.h>

namespace zrperf {

std::string HostName() {
  char name[256] = {};
  // One byte short of the buffer: a truncated name still ends in a NUL.
  if (gethostname(name, sizeof(name) - 1) != 0) return "unknown";
  return name;
}

}  // namespace zrperf
