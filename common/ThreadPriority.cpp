// Linux keeps the scheduling policy and the nice value per thread, so both are set on the
// calling thread alone.
#include "common/ThreadPriority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "common/Log.h"
#include "common/Text.h"

namespace vidra {

namespace {

// Far enough below the default that a busy core gives the answering thread most of its time.
constexpr int kBackgroundNice = 10;

// Whether a thread of this process may have its priority raised again: tried once, on a
// thread of its own, so that no thread that matters is left lowered by the trial.
bool RaisingAllowed() {
  static const bool allowed = [] {
    bool raised = false;
    std::thread([&raised] {
      const auto self = static_cast<id_t>(::gettid());
      errno = 0;
      const int nice = ::getpriority(PRIO_PROCESS, self);
      raised = errno == 0 && nice < kBackgroundNice &&
               ::setpriority(PRIO_PROCESS, self, kBackgroundNice) == 0 &&
               ::setpriority(PRIO_PROCESS, self, nice) == 0;
    }).join();
    return raised;
  }();
  return allowed;
}

}  // namespace

void LowerThisThreadPriority(const char* name) {
  const sched_param param{};
  if (const int refused = ::pthread_setschedparam(::pthread_self(), SCHED_BATCH, &param)) {
    Log("VIDRA - the %s thread keeps its scheduling: %s", name, ErrorText(refused).c_str());
  }
  const auto self = static_cast<id_t>(::gettid());
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, self);
  // A server started at a lower priority still is; it is never raised.
  if (errno == 0 && nice < kBackgroundNice &&
      ::setpriority(PRIO_PROCESS, self, kBackgroundNice) != 0) {
    Log("VIDRA - the %s thread keeps its priority: %s", name, ErrorText(errno).c_str());
  }
}

void SwitchablePriority::Attach() {
  std::lock_guard guard(lock_);  // the thread and its setting
  tid_ = ::gettid();
  policy_ = ::sched_getscheduler(0);
  const bool known = policy_ >= 0 && ::sched_getparam(0, &param_) == 0;
  errno = 0;
  nice_ = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid_));
  if (!known || errno != 0) {
    tid_ = 0;  // left as it runs: what to give back is not known
    return;
  }
  if (background_ && !Apply()) {
    Log("VIDRA - the %s thread keeps its priority: %s", name_, ErrorText(errno).c_str());
  }
}

bool SwitchablePriority::SetBackground(bool background) {
  if (!RaisingAllowed()) {
    return false;
  }
  std::lock_guard guard(lock_);  // the thread and its setting
  background_ = background;
  return tid_ == 0 || Apply();
}

bool SwitchablePriority::Apply() {
  const sched_param batch{};
  const int nice = background_ ? std::max(nice_, kBackgroundNice) : nice_;
  return ::sched_setscheduler(tid_, background_ ? SCHED_BATCH : policy_,
                              background_ ? &batch : &param_) == 0 &&
         ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid_), nice) == 0;
}

}  // namespace vidra
