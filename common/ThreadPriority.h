// Background work (the media check) gives way to the threads that answer the NRCS and play
// out. Called by such a thread on itself, first thing; the other threads keep the default.
#pragma once

#include <sched.h>
#include <sys/types.h>

#include <mutex>

namespace vidra {

// The calling thread is scheduled as batch work at a lower priority: it no longer preempts
// a thread that wakes to answer a message, and it gets the smaller share of a busy core,
// yet it still runs while the machine is loaded. A thread the system will not lower keeps
// running as it was, and the log says so with name.
void LowerThisThreadPriority(const char* name);

// A thread whose work is background in one role only (the disk writer of a backup, whose
// copy is secondary to its acknowledgements; the same writer answers for every commit of a
// main): lowered as above and given back, from any thread of the process. Where the system
// would not let it be given back (no root, no RLIMIT_NICE for it), it is never lowered.
class SwitchablePriority {
 public:
  explicit SwitchablePriority(const char* name) : name_(name) {}
  // Called by the managed thread on itself, first thing: it takes the setting asked so far.
  void Attach();
  // Lowers the thread or gives it back what it had when it attached. False when the system
  // does not allow it to be given back; it is then left as it runs.
  bool SetBackground(bool background);

 private:
  // Sets the thread as background_ says; the caller holds lock_.
  bool Apply();

  const char* name_;  // for the log
  std::mutex lock_;   // guards the fields below
  pid_t tid_ = 0;     // 0 until the thread attaches
  int policy_ = 0;    // the scheduling and nice value it had when it attached
  sched_param param_{};
  int nice_ = 0;
  bool background_ = false;
};

}  // namespace vidra
