// How a running order is written into the durable store and read back: the header (its
// MOS fields, metadata, what the NRCS said of it, and its stories with their items' keys),
// the control part (its trigger), and each item's MOS fields. A compact binary form with a
// version byte; reading checks every length, so a damaged row is refused, not misread.
// Pure functions; any thread may use them on records it holds the locks of.
#pragma once

#include <string>
#include <unordered_map>

#include "rundown/Ro.h"
#include "rundown/RoPersistence.h"

namespace vidra {

std::string EncodeHeader(const ro& r);
std::string EncodeControl(const ro& r);
std::string EncodeItem(const item& i);
StoredItemState ItemStateOf(const item& i);
// The item takes the stored state, stamp and timing (the inverse of ItemStateOf).
void ApplyStoredState(const StoredItemState& s, item& i);

// The running order a row and its items make; false, with what is wrong in error, when a
// blob is not one EncodeX wrote or an item the header names is missing.
bool DecodeRo(const StoredRo& row,
              const std::unordered_map<std::uint64_t, const StoredItem*>& items, ro& out,
              std::string& error);

}  // namespace vidra
