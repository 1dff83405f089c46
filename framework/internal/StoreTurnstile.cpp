#include "StoreTurnstile.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <utility>

#include <zrperf/framework/FileSystem.h>
#include "StoreFiles.h"

namespace zrfw {

namespace {

constexpr off_t kDoor = 0;
constexpr off_t kRoom = 1;

enum class Take { kTaken, kTimedOut, kFailed };

// A byte lock for WaitForByte() to take.
struct ByteRequest {
  int fd;
  struct flock lock;
};

// Waits in the kernel's queue for the byte. Runs on a thread of its own,
// which the caller cancels at its deadline: fcntl(F_OFD_SETLKW) is a
// cancellation point, and a request cut short takes nothing. Returns
// non-null once the byte is taken (by the open file, so the caller holds it).
void* WaitForByte(void* arg) {
  ByteRequest* request = static_cast<ByteRequest*>(arg);
  for (;;) {
    if (::fcntl(request->fd, F_OFD_SETLKW, &request->lock) == 0) return request;
    if (errno != EINTR) return nullptr;
  }
}

void ReleaseByte(int fd, off_t byte);

// Takes one byte (type F_RDLCK or F_WRLCK), waiting while another holds it
// until `deadline`. kFailed when the system refuses the lock itself or no
// waiting thread can be started.
Take TakeByte(int fd, off_t byte, short type, StoreTurnstile::Deadline deadline) {
  ByteRequest request = {fd, {}};
  request.lock.l_type = type;
  request.lock.l_whence = SEEK_SET;
  request.lock.l_start = byte;
  request.lock.l_len = 1;
  for (;;) {
    if (::fcntl(fd, F_OFD_SETLK, &request.lock) == 0) return Take::kTaken;
    if (errno != EINTR) break;
  }
  if (errno != EAGAIN && errno != EACCES) return Take::kFailed;
  // Another holds it. The waiting thread takes no signal meant for the
  // process's own threads.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_t waiter;
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const int created = pthread_create(&waiter, nullptr, &WaitForByte, &request);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (created != 0) return Take::kFailed;
  // pthread_timedjoin_np() counts on the real-time clock: the time left on
  // the steady one, from now.
  const auto left = std::max<std::chrono::steady_clock::duration>(
      deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero());
  struct timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  const long long ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(left).count() + until.tv_nsec;
  until.tv_sec += static_cast<time_t>(ns / 1000000000);
  until.tv_nsec = static_cast<long>(ns % 1000000000);
  void* result = nullptr;
  if (pthread_timedjoin_np(waiter, &result, &until) == 0) {
    return result != nullptr ? Take::kTaken : Take::kFailed;
  }
  pthread_cancel(waiter);
  pthread_join(waiter, &result);
  if (result == &request) return Take::kTaken;  // granted just before the cancellation
  ReleaseByte(fd, byte);                        // nothing held; never a byte left behind
  return Take::kTimedOut;
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
  if (m_fd >= 0) Files().Close(m_fd);  // releases whatever is still held
}

bool StoreTurnstile::Open(bool write) {
  if (m_fd >= 0 && (m_writable || !write)) return true;
  if (m_storePath.empty()) return false;
  // A writer needs the file open for writing to take a write lock. Never
  // through a link, and never held by a FIFO put in its place.
  const int fd = store::OpenRetrying(
      m_lockPath.c_str(),
      (write ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0);
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
    Files().Close(fd);
    return false;
  }
  if (m_fd >= 0) Files().Close(m_fd);
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
  const int fd = store::OpenRetrying(
      m_lockPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode);
  if (fd < 0) return;  // there already, or the directory is not writable
  // The umask may have taken bits away; the database's users all need it.
  if (::fchmod(fd, mode) != 0 ||
      (::geteuid() == 0 && ::fchown(fd, store.st_uid, store.st_gid) != 0)) {
    Files().Close(fd);
    Files().Unlink(m_lockPath.c_str());
    return;
  }
  Files().Close(fd);
}

}  // namespace zrfw
