// Puts the running orders of the durable store back into the channels' stores at start:
// their order, fields, stories, items and the state each item was left in. Items that were
// on air are ended (nothing plays after a start), those the media check had passed are
// checked again, and a TIMED start that passed while the server was down is used up, not
// played late. Runs on the control thread before the playout threads start.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/FileTime.h"
#include "rundown/RoPersistence.h"
#include "rundown/RoStore.h"

namespace vidra {

// stores holds storeCount stores, attached to persistence already. keys is set past every
// stored key. False, with what is wrong in error, when the stored state cannot be read.
bool RestoreRunningOrders(RoPersistence& persistence, RoStore* stores, std::size_t storeCount,
                          FileTime localNow, std::atomic<std::uint64_t>& keys,
                          std::size_t& restored, std::string& error);

}  // namespace vidra
