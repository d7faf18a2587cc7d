// What GStreamer lacks to play a file, in the words the readiness sheet uses: "no demuxer for
// Material eXchange Format (MXF)", "no decoder for H.265 (Main Profile)". Any thread.
#pragma once

#include <gst/gst.h>

#include <string>

namespace vidra {

// The text of a missing-plugin element message.
std::string MissingPluginText(GstMessage* message);
// The same from GStreamer's description of the missing element ("H.265 decoder").
std::string MissingPluginText(const std::string& description);

}  // namespace vidra
