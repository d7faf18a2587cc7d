// The order and presence of the elements a MOS device writes, as the protocol lists them:
// vidra-nrcs conformance checks every answer and object message of a device against it.
#pragma once

#include <pugixml.hpp>

#include <string>

namespace vidra {

// Empty when the element and what it holds follow the protocol's order, with every element
// it requires; else what does not ("objRev missing before status in mosAck"). The content
// of mosExternalMetadata is the NRCS's and is not checked.
std::string OrderProblem(const pugi::xml_node& element);

}  // namespace vidra
