// vidra-nrcs conformance: drives a MOS device as an NRCS would, through every message of the
// profiles the device claims in its listMachInfo, in both byte orders and in the dialects
// real NRCS software writes, checks each answer and each running order read back, and
// prints one PASS or FAIL line per case and a last line "N passed, M failed". It creates,
// edits and deletes running orders of its own; run it against a device that is not on air.
#pragma once

#include <pugixml.hpp>

#include <string>

#include "host/NrcsSimulator.h"

namespace vidra {

// The body element of a MOS message: what follows its envelope (mosID, ncsID, messageID).
pugi::xml_node BodyOf(const pugi::xml_document& document);

// The stories and items of a roList element in their order: "A:A1,A2 B: C:C1".
std::string RunningOrderShape(const pugi::xml_node& roList);

// True when every case passed. options names the device; its roID is the stem of the
// running orders the run creates (one per byte order).
bool RunConformance(const NrcsOptions& options);

}  // namespace vidra
