#include "playout/players/gstreamer/GstMissing.h"

#include <gst/pbutils/missing-plugins.h>

namespace vidra {

std::string MissingPluginText(const std::string& description) {
  // GStreamer names what is missing as "<format> demuxer" or "<codec> decoder".
  for (const char* role : {"demuxer", "decoder", "parser"}) {
    const std::string suffix = std::string(" ") + role;
    if (description.size() > suffix.size() &&
        description.compare(description.size() - suffix.size(), suffix.size(), suffix) == 0) {
      return std::string("no ") + role + " for " +
             description.substr(0, description.size() - suffix.size());
    }
  }
  return "GStreamer lacks " + description;
}

std::string MissingPluginText(GstMessage* message) {
  gchar* description = gst_missing_plugin_message_get_description(message);
  std::string text = MissingPluginText(description != nullptr ? description : "a plugin");
  g_free(description);
  return text;
}

}  // namespace vidra
