#include "SharedAnswers.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <exception>
#include <utility>

namespace zrprom {
namespace {

// Discards the whole pages of `text`'s buffer, which is about to be freed:
// they read back as zeros and cost no memory until written again, so the
// answer's memory goes back to the system whatever the allocator keeps. The
// allocator writes its own records only at the buffer's ends and reads
// nothing else of a freed block.
void DiscardPages(const std::string& text) {
  static const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  char* const buffer = const_cast<char*>(text.data());
  const auto start = reinterpret_cast<std::uintptr_t>(buffer);
  const std::uintptr_t first = (start + page - 1) / page * page;
  const std::uintptr_t end = (start + text.capacity() + 1) / page * page;
  if (end > first) madvise(buffer + (first - start), end - first, MADV_DONTNEED);
}

}  // namespace

std::shared_ptr<SharedAnswers> SharedAnswers::Create(std::size_t maxAnswers,
                                                     std::chrono::milliseconds reuseAge,
                                                     std::chrono::milliseconds contendedHold,
                                                     std::function<void()> waiting) {
  std::shared_ptr<SharedAnswers> answers(
      new SharedAnswers(maxAnswers, reuseAge, contendedHold, std::move(waiting)));
  answers->m_builder = std::thread([raw = answers.get()] { raw->RunBuilds(); });
  return answers;
}

SharedAnswers::~SharedAnswers() {
  {
    zrperf::MutexLock lock(&m_buildMutex);
    m_stopBuilder = true;
  }
  m_buildWake.notify_all();
  if (m_builder.joinable()) m_builder.join();
}

void SharedAnswers::RunBuilds() {
  zrperf::MutexLock lock(&m_buildMutex);
  while (true) {
    m_buildWake.wait(lock.Native(), [this] {
      m_buildMutex.AssertHeld();
      return m_stopBuilder || m_job != nullptr;
    });
    if (m_job == nullptr) return;  // stopped with nothing to do
    const std::function<void()>* job = m_job;
    lock.Native().unlock();
    (*job)();
    lock.Native().lock();
    m_job = nullptr;
    ++m_jobsDone;
    m_buildWake.notify_all();
  }
}

void SharedAnswers::OnBuilder(const std::function<void()>& job) {
  zrperf::MutexLock lock(&m_buildMutex);
  m_buildWake.wait(lock.Native(), [this] {
    m_buildMutex.AssertHeld();
    return m_job == nullptr;
  });
  m_job = &job;
  const std::uint64_t ticket = m_jobsDone + 1;
  m_buildWake.notify_all();
  m_buildWake.wait(lock.Native(), [this, ticket] {
    m_buildMutex.AssertHeld();
    return m_jobsDone >= ticket;
  });
}

SharedAnswers::Answer SharedAnswers::Get(int kind, const std::function<void(std::string*)>& build,
                                         Clock::time_point deadline) {
  Clock::time_point startedAt;
  std::uint64_t ticket = 0;  // this request's place in the line for room; 0: not in it
  for (;;) {
    // A reference taken here is dropped only with m_mutex free: it may be the
    // last one, whose release takes m_mutex.
    Answer newest;
    std::uint64_t seen = 0;
    bool lined = false;
    {
      zrperf::MutexLock lock(&m_mutex);
      Kind& k = m_kinds[kind];
      startedAt = Clock::now();
      newest = k.newest.lock();
      if (newest && startedAt - k.builtAt <= m_reuseAge) {
        LeaveLine(&ticket);
        return newest;
      }
      if (k.building) {
        LeaveLine(&ticket);  // the build in progress serves it
      } else {
        // Room goes to those in line first, in the order they came.
        if (m_alive < m_maxAnswers && (m_line.empty() || *m_line.begin() == ticket)) {
          LeaveLine(&ticket);
          k.building = true;
          ++m_alive;
          break;
        }
        if (newest) {  // no room: the newest of its kind, however old
          LeaveLine(&ticket);
          return newest;
        }
        if (ticket == 0) {
          ticket = ++m_tickets;
          m_line.insert(ticket);
          lined = true;
        }
      }
      seen = m_changes;
    }
    newest.reset();  // not held while waiting: waiting for a release must not pin one
    if (lined && m_waiting) m_waiting();
    zrperf::MutexLock lock(&m_mutex);
    if (m_changes == seen &&
        m_changed.wait_until(lock.Native(), deadline) == std::cv_status::timeout &&
        m_changes == seen) {
      LeaveLine(&ticket);
      return nullptr;
    }
  }

  // Built on the builder thread, so that every answer comes from one
  // allocator arena: a burst of scrapes on many server threads would leave
  // freed answers' memory in each of their arenas.
  std::unique_ptr<std::string> text;
  std::exception_ptr failure;
  OnBuilder([&] {
    try {
      text = std::make_unique<std::string>();
      build(text.get());
    } catch (...) {
      failure = std::current_exception();
    }
  });
  if (failure) {
    zrperf::MutexLock lock(&m_mutex);
    m_kinds[kind].building = false;
    --m_alive;
    ++m_changes;
    m_changed.notify_all();
    std::rethrow_exception(failure);
  }
  std::weak_ptr<SharedAnswers> owner = weak_from_this();
  zrperf::MutexLock lock(&m_mutex);
  const std::uint64_t id = ++m_builds;
  Answer answer(text.release(), [owner, id](const std::string* released) {
    const std::shared_ptr<SharedAnswers> answers = owner.lock();
    if (answers) answers->Forget(id);
    DiscardPages(*released);
    delete released;
    if (answers) answers->Release();
  });
  Kind& k = m_kinds[kind];
  k.newest = answer;
  k.builtAt = startedAt;
  k.building = false;
  m_built.push_back(Built{id, answer.get(), Clock::now()});
  ++m_changes;
  m_changed.notify_all();
  return answer;
}

std::size_t SharedAnswers::Alive() const {
  zrperf::MutexLock lock(&m_mutex);
  return m_alive;
}

SharedAnswers::Yield SharedAnswers::Yielding() const {
  zrperf::MutexLock lock(&m_mutex);
  if (m_line.empty() || m_alive < m_maxAnswers || m_built.empty() ||
      m_contendedHold == std::chrono::milliseconds::max()) {
    return {};
  }
  const Built* oldest = &m_built.front();
  for (const Built& b : m_built)
    if (b.at < oldest->at) oldest = &b;
  return {oldest->answer, oldest->at + m_contendedHold};
}

void SharedAnswers::LeaveLine(std::uint64_t* ticket) {
  if (*ticket == 0) return;
  m_line.erase(*ticket);
  *ticket = 0;
  ++m_changes;  // the next in line may take the room
  m_changed.notify_all();
}

void SharedAnswers::Forget(std::uint64_t id) {
  zrperf::MutexLock lock(&m_mutex);
  for (auto it = m_built.begin(); it != m_built.end(); ++it) {
    if (it->id == id) {
      m_built.erase(it);
      return;
    }
  }
}

void SharedAnswers::Release() {
  zrperf::MutexLock lock(&m_mutex);
  --m_alive;
  ++m_changes;
  m_changed.notify_all();
}

}  // namespace zrprom
