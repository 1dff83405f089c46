#include "Gnuplot.h"

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "ReportText.h"

extern char** environ;

namespace zrreport {

namespace {

// An anonymous file (never in any directory) for gnuplot's standard input and
// error; closed when the object goes.
struct MemoryFile {
  MemoryFile() : fd(memfd_create("zrperf-report", MFD_CLOEXEC)) {}
  ~MemoryFile() {
    if (fd >= 0) close(fd);
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  int fd;
};

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The last line of gnuplot's errors in what it wrote to `fd` (a warning that
// follows an error, as a multiplot's closing draws, does not name the fault):
// the last non-empty line that is not a warning, or the last line; at most
// the last 64 KiB of its output read.
std::string LastMessage(int fd) {
  const off_t size = lseek(fd, 0, SEEK_END);
  if (size <= 0) return "";
  const off_t from = size > 65536 ? size - 65536 : 0;
  std::string text(static_cast<std::size_t>(size - from), '\0');
  const ssize_t n = pread(fd, &text[0], text.size(), from);
  text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  std::string last;
  for (std::size_t end = text.size(); end > 0;) {
    const std::size_t start = text.rfind('\n', end - 1);
    const std::size_t begin = start == std::string::npos ? 0 : start + 1;
    std::string line = text.substr(begin, end - begin);
    end = start == std::string::npos ? 0 : start;
    line.erase(0, line.find_first_not_of(' '));
    line.erase(line.find_last_not_of(' ') + 1);
    if (line.empty()) continue;
    if (last.empty()) last = line;
    if (line.find("warning:") == std::string::npos && line.find("Warning:") == std::string::npos) {
      return line;
    }
  }
  return last;
}

}  // namespace

void AppendDataBlock(std::string& script, const std::string& name,
                     const std::vector<std::string>& lines) {
  std::string marker = "EOD";
  for (bool clash = true; clash;) {
    clash = false;
    for (const std::string& line : lines)
      clash = clash || line.compare(0, marker.size(), marker) == 0;
    if (clash) marker += 'X';
  }
  script += name + " << " + marker + "\n";
  for (const std::string& line : lines) {
    for (const char c : line) {
      const unsigned char u = static_cast<unsigned char>(c);
      script += u < 0x20 || u == 0x7F ? '?' : c;
    }
    script += '\n';
  }
  script += marker + "\n";
}

std::string DataNumber(double value) {
  if (!std::isfinite(value)) return "NaN";
  char text[32];
  std::snprintf(text, sizeof(text), "%.9g", value);
  return text;
}

bool RunGnuplot(const std::string& script, int outputFd, std::string* error) {
  MemoryFile input, messages;
  if (input.fd < 0 || messages.fd < 0) {
    *error = std::string("cannot run gnuplot: memfd_create: ") + std::strerror(errno);
    return false;
  }
  if (!WriteAll(input.fd, script) || lseek(input.fd, 0, SEEK_SET) != 0) {
    *error = std::string("cannot run gnuplot: writing its script: ") + std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input.fd, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, messages.fd, STDERR_FILENO);
  char program[] = "gnuplot";
  char option[] = "--default-settings";
  char* argv[] = {program, option, nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned == ENOENT) {
    *error = "gnuplot was not found (Debian package gnuplot-nox)";
    return false;
  }
  if (spawned != 0) {
    *error = std::string("cannot run gnuplot: ") + std::strerror(spawned);
    return false;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      *error = std::string("cannot run gnuplot: waitpid: ") + std::strerror(errno);
      return false;
    }
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  if (WIFSIGNALED(status)) {
    *error = "gnuplot was killed by signal " + std::to_string(WTERMSIG(status));
    return false;
  }
  const std::string last = LastMessage(messages.fd);
  *error = "gnuplot failed" + (last.empty() ? std::string() : ": " + ShownName(last));
  return false;
}

bool RunGnuplotToText(const std::string& script, std::string* out, std::string* error) {
  MemoryFile picture;
  if (picture.fd < 0) {
    *error = std::string("cannot run gnuplot: memfd_create: ") + std::strerror(errno);
    return false;
  }
  if (!RunGnuplot(script, picture.fd, error)) return false;
  const off_t size = lseek(picture.fd, 0, SEEK_END);
  out->assign(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
  std::size_t done = 0;
  while (done < out->size()) {
    const ssize_t n =
        pread(picture.fd, &(*out)[done], out->size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = std::string("cannot read gnuplot's picture: ") + std::strerror(n < 0 ? errno : EIO);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace zrreport
