// Bytes the allocator has handed out and not taken back: what a structure costs in memory
// is the difference before and after building it.
#pragma once

#include <malloc.h>

#include <cstddef>

namespace vidra {

inline std::size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

}  // namespace vidra
