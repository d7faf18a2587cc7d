// What the running-order layer asks of a durable store, so that running orders survive a
// restart or a crash. Every change is described whole: a running order's row (its header:
// fields, stories and the keys of their items), its control part (the trigger a roCtrl or
// playout consumes), and item rows (MOS fields; state, start stamp and timing). A change
// that answers a message is committed before the answer goes out; what playout changes is
// posted and written soon, never waited for. The host wires an implementation in; without
// one the stores keep everything in memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "rundown/AnswerMemory.h"

namespace vidra {

// An item's state as playout and the media check leave it.
struct StoredItemState {
  std::uint64_t key = 0;
  std::int32_t state = 0;
  std::uint64_t stateTime = 0;
  std::uint64_t playTicks = 0;
  double markIn = 0.0;
  double playDuration = 0.0;
  bool timed = false;  // markIn and playDuration were computed
};

struct StoredItem {
  std::uint64_t roKey = 0;
  std::string body;  // the MOS fields, encoded by RoCodec
  StoredItemState state;
};

struct StoredRo {
  std::uint64_t key = 0;
  std::int32_t channel = 0;
  std::int64_t position = 0;  // order within the channel
  std::string roID;
  std::string header;   // encoded by RoCodec
  std::string control;  // encoded by RoCodec
  // The NRCS host that sent it, where its notices go (IPv4, network order); 0 when not known.
  std::uint32_t nrcsHost = 0;
};

// One change, committed as one transaction.
struct RoChange {
  std::uint64_t roKey = 0;
  bool removeRo = false;               // the running order and its items go
  std::optional<StoredRo> row;         // the running order's row, written whole
  std::optional<std::string> control;  // only the control part of the row
  bool replaceItems = false;           // every item row of the running order goes first
  std::vector<StoredItem> items;       // written whole (state.key is the item's key)
  std::vector<std::uint64_t> removedItems;
  std::vector<StoredItemState> states;  // state, stamp and timing of items kept
  // The message whose answer this change is: marked as applied in the same transaction.
  std::optional<MessageKey> message;
};

// Everything stored, as it is loaded at start.
struct StoredState {
  std::vector<StoredRo> ros;  // by channel and position
  std::vector<StoredItem> items;
  std::uint64_t maxKey = 0;  // the largest key in use
};

class RoPersistence {
 public:
  virtual ~RoPersistence() = default;
  // Commits the change, whole, before the caller answers. False, with what went wrong in
  // error, when it could not be saved; the caller then leaves memory as it was.
  virtual bool Commit(RoChange change, std::string& error) = 0;
  // A change of playout's (item states, a TIMED start used up), or one a backup takes from
  // its main: written soon, in order with the commits, and never waited for. One that
  // carries its message is known as applied from the moment it is posted.
  virtual void Post(RoChange change) = 0;
  // Everything stored, for the start of the server.
  virtual bool Load(StoredState& out, std::string& error) = 0;
};

}  // namespace vidra
