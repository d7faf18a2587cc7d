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

// How the running orders are put back: after a start (nothing plays, see above), or as a
// backup of a pair that follows its main, which takes them exactly as the main holds them,
// on-air items and TIMED starts included.
enum class RestoreAs { Start, Follower };

// stores holds storeCount stores, attached to persistence already; what they held is
// replaced. keys is set past every stored key. False, with what is wrong in error, when the
// stored state cannot be read.
bool RestoreRunningOrders(RoPersistence& persistence, RoStore* stores, std::size_t storeCount,
                          FileTime localNow, std::atomic<std::uint64_t>& keys,
                          std::size_t& restored, std::string& error,
                          RestoreAs as = RestoreAs::Start);
// One running order in its stored form (its row and its items), decoded as a follower
// takes it. False, with what is wrong in error, when it does not decode.
bool DecodeFollowed(const StoredRo& row, const std::vector<StoredItem>& items, ro& out,
                    std::string& error);
// A running order of a channel that no store has (the settings lost channels) goes to the
// first one rather than being lost.
std::size_t ChannelOf(const StoredRo& row, std::size_t storeCount);

}  // namespace vidra
