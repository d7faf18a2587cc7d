// Lowering is per thread: the thread that asks is lowered, the others are not, and a thread
// that already runs lower is never raised.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "common/ThreadPriority.h"

namespace vidra {
namespace {

struct Scheduling {
  int policy = -1;
  int nice = 0;
};

Scheduling OfThisThread() {
  return {::sched_getscheduler(0), ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()))};
}

TEST(ThreadPriority, OnlyTheCallingThreadIsLoweredAndNoneIsRaised) {
  const Scheduling before = OfThisThread();
  Scheduling lowered;
  std::thread([&] {
    LowerThisThreadPriority("test");
    lowered = OfThisThread();
  }).join();
  EXPECT_EQ(lowered.policy, SCHED_BATCH);
  EXPECT_EQ(lowered.nice, std::max(before.nice, 10));

  Scheduling kept;
  std::thread([&] {
    ASSERT_EQ(::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 15), 0);
    LowerThisThreadPriority("test");
    kept = OfThisThread();
  }).join();
  EXPECT_EQ(kept.policy, SCHED_BATCH);
  EXPECT_EQ(kept.nice, std::max(before.nice, 15));

  const Scheduling after = OfThisThread();
  EXPECT_EQ(after.policy, before.policy);
  EXPECT_EQ(after.nice, before.nice);
}

}  // namespace
}  // namespace vidra
