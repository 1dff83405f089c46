#include "StoreTurnstile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <thread>
#include <utility>

namespace zrfw {

namespace {

constexpr off_t kDoor = 0;
constexpr off_t kRoom = 1;

// The pauses between tries of a byte that another holds.
constexpr std::chrono::microseconds kFirstPause(50);
constexpr std::chrono::microseconds kLongestPause(1000);

enum class Take { kTaken, kTimedOut, kFailed };

// Takes one byte (type F_RDLCK or F_WRLCK), trying again while another holds
// it until `deadline`. kFailed when the system refuses the lock itself.
Take TakeByte(int fd, off_t byte, short type, StoreTurnstile::Deadline deadline) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  thread_local std::minstd_rand jitter(std::random_device{}());
  std::chrono::microseconds pause = kFirstPause;
  for (;;) {
    if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) return Take::kTaken;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EACCES) return Take::kFailed;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return Take::kTimedOut;
    std::uniform_int_distribution<long> pick(pause.count() / 2, pause.count());
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        std::chrono::microseconds(pick(jitter)), deadline - now));
    pause = std::min(pause * 2, kLongestPause);
  }
}

void ReleaseByte(int fd, off_t byte) {
  struct flock lock = {};
  lock.l_type = F_UNLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  while (::fcntl(fd, F_OFD_SETLK, &lock) != 0 && errno == EINTR) {
  }
}

}  // namespace

std::string StoreTurnstile::LockPath(const std::string& storePath) {
  return storePath + "-lock";
}

StoreTurnstile::StoreTurnstile(std::string storePath)
    : m_lockPath(LockPath(storePath)), m_storePath(std::move(storePath)) {}

StoreTurnstile::~StoreTurnstile() {
  if (m_fd >= 0) ::close(m_fd);  // releases whatever is still held
}

bool StoreTurnstile::Open(bool write) {
  if (m_fd >= 0 && (m_writable || !write)) return true;
  if (m_storePath.empty()) return false;
  // A writer needs the file open for writing to take a write lock. Never
  // through a link, and never held by a FIFO put in its place.
  const int fd = ::open(m_lockPath.c_str(), (write ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK |
                                                O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st;
  struct stat store;
  bool usable = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
                ::stat(m_storePath.c_str(), &store) == 0 && st.st_uid == store.st_uid;
  // No more open than the database: bits beyond the database's are taken
  // away where this caller may, and the file is not used where it may not.
  if (usable && (st.st_mode & 07777 & ~(store.st_mode & 0666)) != 0) {
    usable = ::fchmod(fd, st.st_mode & store.st_mode & 0666) == 0;
  }
  if (!usable) {
    ::close(fd);
    return false;
  }
  if (m_fd >= 0) ::close(m_fd);
  m_fd = fd;
  m_writable = write;
  return true;
}

bool StoreTurnstile::Enter(bool write, Deadline deadline) {
  m_inside = false;
  if (!Open(write)) return true;
  const short type = write ? F_WRLCK : F_RDLCK;
  const Take door = TakeByte(m_fd, kDoor, type, deadline);
  if (door != Take::kTaken) return door == Take::kFailed;
  const Take room = TakeByte(m_fd, kRoom, type, deadline);
  ReleaseByte(m_fd, kDoor);
  m_inside = room == Take::kTaken;
  return room != Take::kTimedOut;
}

void StoreTurnstile::Leave() {
  if (m_inside) ReleaseByte(m_fd, kRoom);
  m_inside = false;
}

void StoreTurnstile::CreateIfMissing() {
  if (m_fd >= 0 || m_storePath.empty()) return;
  struct stat store;
  if (::stat(m_storePath.c_str(), &store) != 0) return;
  const mode_t mode = store.st_mode & 0666;
  // O_EXCL follows no link: a name already there, a dangling link included,
  // is left alone.
  const int fd = ::open(m_lockPath.c_str(),
                        O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode);
  if (fd < 0) return;  // there already, or the directory is not writable
  // The umask may have taken bits away; the database's users all need it.
  if (::fchmod(fd, mode) != 0 ||
      (::geteuid() == 0 && ::fchown(fd, store.st_uid, store.st_gid) != 0)) {
    ::close(fd);
    ::unlink(m_lockPath.c_str());
    return;
  }
  ::close(fd);
}

}  // namespace zrfw
