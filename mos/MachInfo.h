// The MOS profiles a machine claims in its listMachInfo, read from either form NRCS and
// devices write: the container (<mosProfile number="2">YES</mosProfile>) and the flat one
// of older systems (<mosProfile2>YES</mosProfile2>).
#pragma once

#include <pugixml.hpp>

#include <array>
#include <optional>
#include <string>

namespace vidra {

// Per profile 0 to 7: YES (true), NO (false), or not said.
using MosProfiles = std::array<std::optional<bool>, 8>;

// From a listMachInfo element (its supportedProfiles child).
MosProfiles ReadSupportedProfiles(const pugi::xml_node& listMachInfo);
// "0 2 4 5", or "none".
std::string FormatProfiles(const MosProfiles& profiles);

}  // namespace vidra
