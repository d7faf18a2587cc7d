// Background work (the media check) gives way to the threads that answer the NRCS and play
// out. Called by such a thread on itself, first thing; the other threads keep the default.
#pragma once

namespace vidra {

// The calling thread is scheduled as batch work at a lower priority: it no longer preempts
// a thread that wakes to answer a message, and it gets the smaller share of a busy core,
// yet it still runs while the machine is loaded. A thread the system will not lower keeps
// running as it was, and the log says so with name.
void LowerThisThreadPriority(const char* name);

}  // namespace vidra
