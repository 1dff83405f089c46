#include "SharedAnswers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <zrperf/tests/support/ProcessMemory.h>
#include <zrperf/tests/support/RunTogether.h>

namespace {

using std::chrono::milliseconds;
using zrprom::SharedAnswers;

SharedAnswers::Clock::time_point In(milliseconds wait) {
  return SharedAnswers::Clock::now() + wait;
}

// A build that counts itself and writes "answer <n>".
struct Builds {
  std::atomic<int> count{0};
  std::function<void(std::string*)> Build() {
    return [this](std::string* out) { *out = "answer " + std::to_string(++count); };
  }
};

TEST(SharedAnswers, ShareOnlyWhileSentAndRecentBuildAfreshOnceReleasedOrAfterAFailure) {
  auto answers = SharedAnswers::Create(2, milliseconds(200));
  Builds builds;
  // Sequential scrapes: each after the last sender let go gets a new answer.
  EXPECT_EQ(*answers->Get(0, builds.Build(), In(milliseconds(0))), "answer 1");
  EXPECT_EQ(*answers->Get(0, builds.Build(), In(milliseconds(0))), "answer 2");
  EXPECT_EQ(answers->Alive(), 0u);
  // Held by a sender: a request of the same kind within the reuse age shares it,
  // one of another kind does not.
  SharedAnswers::Answer held = answers->Get(0, builds.Build(), In(milliseconds(0)));
  EXPECT_EQ(answers->Get(0, builds.Build(), In(milliseconds(0))), held);
  SharedAnswers::Answer other = answers->Get(1, builds.Build(), In(milliseconds(0)));
  EXPECT_EQ(*other, "answer 4");
  EXPECT_EQ(answers->Alive(), 2u);
  // Past the reuse age and at the bound: the newest of the kind, however old...
  std::this_thread::sleep_for(milliseconds(250));
  EXPECT_EQ(answers->Get(0, builds.Build(), In(milliseconds(0))), held);
  // ... and a kind with none alive waits for a release, null at its deadline.
  EXPECT_EQ(answers->Get(2, builds.Build(), In(milliseconds(50))), nullptr);
  other.reset();
  EXPECT_EQ(*answers->Get(2, builds.Build(), In(milliseconds(0))), "answer 5");
  // Below the bound, an answer past the reuse age is not shared: built anew.
  EXPECT_EQ(*answers->Get(0, builds.Build(), In(milliseconds(0))), "answer 6");
  // A failed build gives its place back: with `held` alive, the bound still
  // admits one new answer.
  EXPECT_THROW(answers->Get(
                   1, [](std::string*) { throw std::runtime_error("no"); }, In(milliseconds(0))),
               std::runtime_error);
  EXPECT_EQ(answers->Alive(), 1u);
  other = answers->Get(1, builds.Build(), In(milliseconds(0)));
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(*other, "answer 7");
}

TEST(SharedAnswers, RacingRequestsNeverHoldMoreAnswersThanTheBound) {
  constexpr std::size_t kBound = 2;
  auto answers = SharedAnswers::Create(kBound, milliseconds(5));
  std::atomic<std::size_t> mostAlive{0};
  std::atomic<int> built{0};
  for (int round = 0; round < 20; ++round) {
    zrperf_test::RunTogether(8, [&](int thread) {
      const SharedAnswers::Answer a = answers->Get(
          thread % SharedAnswers::kKinds,
          [&](std::string* out) {
            ++built;
            out->assign(1000, 'x');
            std::size_t alive = answers->Alive(), seen = mostAlive;
            while (alive > seen && !mostAlive.compare_exchange_weak(seen, alive)) {
            }
            std::this_thread::sleep_for(milliseconds(1));
          },
          In(milliseconds(2000)));
      ASSERT_NE(a, nullptr);  // every wait ends well within its deadline
      EXPECT_EQ(a->size(), 1000u);
      std::this_thread::sleep_for(milliseconds(2));  // a sender holding it
    });
  }
  EXPECT_LE(mostAlive.load(), kBound);
  EXPECT_LT(built, 160);  // shared, not one each
  EXPECT_EQ(answers->Alive(), 0u);
}

TEST(SharedAnswers, AWaiterHoldingTheLastReferenceOfAnOldAnswerLetsItGoWithoutDeadlock) {
  auto answers = SharedAnswers::Create(2, milliseconds(0));
  Builds builds;
  SharedAnswers::Answer old = answers->Get(0, builds.Build(), In(milliseconds(0)));
  std::promise<void> building, finish;
  std::shared_future<void> finishing = finish.get_future().share();
  // A second build of the kind, held in progress.
  std::thread builder([&] {
    answers->Get(
        0,
        [&](std::string* out) {
          building.set_value();
          finishing.wait();
          *out = "new";
        },
        In(milliseconds(5000)));
  });
  building.get_future().wait();
  // A third request finds the old answer (too old to share) and the build in
  // progress: it waits, and must not keep the old one alive meanwhile.
  auto third = std::async(std::launch::async,
                          [&] { return answers->Get(0, builds.Build(), In(milliseconds(5000))); });
  std::this_thread::sleep_for(milliseconds(50));
  old.reset();  // the sender lets go: the waiter's look may be the last reference
  finish.set_value();
  ASSERT_EQ(third.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "deadlock";
  EXPECT_NE(third.get(), nullptr);
  builder.join();
  EXPECT_EQ(answers->Alive(), 0u);
}

// With both answers held, requests of other kinds wait in line for room, and
// get it in the order they came; meanwhile Yielding() names the oldest answer
// as the one to give way, from its building plus the hold.
TEST(SharedAnswers, RequestsWaitingForRoomAreServedInTurnWhileTheOldestAnswerIsToGiveWay) {
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> waits{0};
    auto answers = SharedAnswers::Create(2, milliseconds(0), milliseconds(100), [&] { ++waits; });
    Builds builds;
    SharedAnswers::Answer oldest = answers->Get(0, builds.Build(), In(milliseconds(0)));
    const auto built = SharedAnswers::Clock::now();
    SharedAnswers::Answer newer = answers->Get(1, builds.Build(), In(milliseconds(0)));
    EXPECT_EQ(answers->Yielding().answer, nullptr);  // nobody waits
    // The first in line, then the second (of other kinds, none alive).
    auto first = std::async(std::launch::async, [&] {
      return answers->Get(2, builds.Build(), In(milliseconds(30000)));
    });
    while (waits.load() < 1) std::this_thread::yield();
    auto second = std::async(std::launch::async, [&] {
      return answers->Get(3, builds.Build(), In(milliseconds(30000)));
    });
    while (waits.load() < 2) std::this_thread::yield();
    const SharedAnswers::Yield yield = answers->Yielding();
    EXPECT_EQ(yield.answer, oldest.get());
    EXPECT_LE(yield.from, built + milliseconds(100));
    EXPECT_GE(yield.from, built - milliseconds(50) + milliseconds(100));
    // Room made by the newer answer goes to the first in line, not to a
    // request that comes meanwhile (it goes behind, and gives up at once).
    newer.reset();
    EXPECT_EQ(answers->Get(4, builds.Build(), In(milliseconds(0))), nullptr);
    ASSERT_EQ(first.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    const SharedAnswers::Answer third = first.get();
    EXPECT_EQ(*third, "answer 3") << "round " << round;
    EXPECT_EQ(answers->Alive(), 2u);
    EXPECT_EQ(second.wait_for(milliseconds(0)), std::future_status::timeout);
    oldest.reset();
    ASSERT_EQ(second.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(*second.get(), "answer 4");
  }
  // Without a hold, nothing is ever asked to give way.
  auto answers = SharedAnswers::Create(1, milliseconds(0));
  Builds builds;
  const SharedAnswers::Answer held = answers->Get(0, builds.Build(), In(milliseconds(0)));
  auto waiting = std::async(std::launch::async,
                            [&] { return answers->Get(1, builds.Build(), In(milliseconds(300))); });
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(answers->Yielding().answer, nullptr);
  EXPECT_EQ(waiting.get(), nullptr);
}

TEST(SharedAnswers, ReleasedAnswersGoBackToTheSystemEvenWhereTheAllocatorWouldKeepThem) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(__GLIBC__)
  GTEST_SKIP() << "a glibc allocator's behaviour";
#endif
  // glibc keeps a freed block that lies below a block in use: a freed 20 MiB
  // block first raises its threshold for mapping big blocks apart, so that a
  // 16 MiB answer comes from the heap, then small blocks are taken until one
  // lies above it.
  std::vector<std::unique_ptr<char[]>> pins;
  auto answers = SharedAnswers::Create(2, milliseconds(0));
  SharedAnswers::Answer answer = answers->Get(
      0,
      [&pins](std::string* out) {
        std::make_unique<char[]>(std::size_t{20} << 20).reset();
        out->assign(std::size_t{16} << 20, 'a');
        while (pins.size() < 64 && (pins.empty() || pins.back().get() < out->data() + out->size()))
          pins.push_back(std::make_unique<char[]>(4096));
      },
      In(milliseconds(0)));
  ASSERT_EQ(answer->size(), std::size_t{16} << 20);
  EXPECT_EQ(answer->find_first_not_of('a'), std::string_view::npos);
  const std::int64_t held = zrperf_test::ProcessMemory("VmRSS");
  answer.reset();
  EXPECT_LT(zrperf_test::ProcessMemory("VmRSS"), held - (std::int64_t{12} << 20));
}

}  // namespace
