// Lowering is per thread: the thread that asks is lowered, the others are not, and a thread
// that already runs lower is never raised. A switchable thread is lowered and given back
// from another thread.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
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

Scheduling OfThread(pid_t tid) {
  return {::sched_getscheduler(tid), ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid))};
}

TEST(ThreadPriority, ASwitchableThreadIsLoweredAndGivenBackFromAnother) {
  const Scheduling before = OfThisThread();
  SwitchablePriority priority("test");
  const bool allowed = priority.SetBackground(true);  // asked before the thread attaches
  std::mutex lock;
  std::condition_variable changed;
  pid_t tid = 0;
  bool done = false;
  std::thread worker([&] {
    priority.Attach();
    std::unique_lock guard(lock);
    tid = ::gettid();
    changed.notify_all();
    changed.wait(guard, [&] { return done; });
  });
  {
    std::unique_lock guard(lock);
    changed.wait(guard, [&] { return tid != 0; });
  }
  const Scheduling attached = OfThread(tid);
  EXPECT_EQ(priority.SetBackground(false), allowed);
  const Scheduling givenBack = OfThread(tid);
  EXPECT_EQ(priority.SetBackground(true), allowed);
  const Scheduling lowered = OfThread(tid);
  {
    std::lock_guard guard(lock);
    done = true;
  }
  changed.notify_all();
  worker.join();

  EXPECT_EQ(givenBack.policy, before.policy);
  EXPECT_EQ(givenBack.nice, before.nice);
  if (!allowed) {
    // Where the system would not give it back, it is never lowered.
    EXPECT_EQ(attached.policy, before.policy);
    EXPECT_EQ(lowered.nice, before.nice);
    return;
  }
  EXPECT_EQ(attached.policy, SCHED_BATCH) << "the setting asked before it attached";
  EXPECT_EQ(attached.nice, std::max(before.nice, 10));
  EXPECT_EQ(lowered.policy, SCHED_BATCH);
  EXPECT_EQ(lowered.nice, std::max(before.nice, 10));
  const Scheduling after = OfThisThread();
  EXPECT_EQ(after.policy, before.policy) << "only the attached thread";
  EXPECT_EQ(after.nice, before.nice);
}

}  // namespace
}  // namespace vidra
