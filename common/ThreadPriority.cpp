// Linux keeps the scheduling policy and the nice value per thread, so both are set on the
// calling thread alone.
#include "common/ThreadPriority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

#include "common/Log.h"
#include "common/Text.h"

namespace vidra {

namespace {

// Far enough below the default that a busy core gives the answering thread most of its time.
constexpr int kBackgroundNice = 10;

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

}  // namespace vidra
