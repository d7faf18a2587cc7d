// The control protocol: one JSON object per line from a controller, one JSON object per line
// back. Each request names one control operation ("op") with its parameters; the answer
// holds "hr", the 32-bit result code as a signed number, and the operation's out-values.
// Runs on the host thread, which serves one request at a time.
#pragma once

#include <string>
#include <string_view>

#include "host/ControlObject.h"

namespace vidra {

// Carries out one request line (without its line end) and returns the answer line (without
// one). A line that is not a JSON object, an unknown op or a wrong parameter gets hr
// E_INVALIDARG and an "error" text.
std::string HandleControlLine(CMOS_SRV_STNDRT& control, std::string_view line);

// The answer to a line that was longer than a controller may send.
std::string OversizedLineAnswer(std::size_t limit);

}  // namespace vidra
