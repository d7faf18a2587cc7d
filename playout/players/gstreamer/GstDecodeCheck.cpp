#include "playout/players/gstreamer/GstDecodeCheck.h"

#include <gst/pbutils/pbutils.h>

#include <memory>

#include "playout/players/gstreamer/GstMissing.h"
#include "playout/players/gstreamer/GstOutput.h"
#include "playout/players/gstreamer/GstPlayer.h"

namespace vidra {
namespace {

template <typename T>
using GstHandle = std::unique_ptr<T, void (*)(T*)>;

void UnrefObject(GstDiscoverer* object) {
  g_object_unref(object);
}
void UnrefInfo(GstDiscovererInfo* info) {
  g_object_unref(info);
}

// What the discoverer says is missing: the first element's description, from the installer
// detail "gstreamer|1.0|app|H.265 (Main Profile) decoder|decoder-video/x-h265, ...".
std::string MissingText(GstDiscovererInfo* info) {
  const gchar** details = gst_discoverer_info_get_missing_elements_installer_details(info);
  if (details == nullptr || details[0] == nullptr) {
    return "GStreamer lacks a plugin for it";
  }
  const std::string detail = details[0];
  std::size_t from = 0;
  for (int k = 0; k < 3 && from != std::string::npos; ++k) {
    from = detail.find('|', from);
    from = from == std::string::npos ? from : from + 1;
  }
  if (from == std::string::npos) {
    return MissingPluginText(detail);
  }
  const std::size_t to = detail.find('|', from);
  return MissingPluginText(detail.substr(from, to == std::string::npos ? to : to - from));
}

}  // namespace

ProbeResult GstDecodeCheck::Probe(const std::string& path, std::chrono::milliseconds limit) {
  ProbeResult result = container_.Lookup(path, limit);
  if (!result.playable) {
    return result;
  }
  if (result.kind == MediaKind::Audio) {
    result.playable = false;
    result.problem = "sound only: no picture for a video channel";
    return result;
  }
  std::string error;
  if (!GstPlayer::Initialise(error)) {
    result.playable = false;
    result.problem = error;
    return result;
  }
  GError* gerror = nullptr;
  gchar* uri = gst_filename_to_uri(path.c_str(), &gerror);
  if (uri == nullptr) {
    result.playable = false;
    result.problem = "the file name cannot be used: " + GstErrorText(gerror, nullptr);
    g_clear_error(&gerror);
    return result;
  }
  const auto timeout = static_cast<GstClockTime>(limit.count()) * GST_MSECOND;
  GstHandle<GstDiscoverer> discoverer(gst_discoverer_new(timeout, &gerror), UnrefObject);
  if (!discoverer) {
    g_free(uri);
    result.playable = false;
    result.problem = "GStreamer cannot look at files: " + GstErrorText(gerror, nullptr);
    g_clear_error(&gerror);
    return result;
  }
  GstHandle<GstDiscovererInfo> info(gst_discoverer_discover_uri(discoverer.get(), uri, &gerror),
                                    UnrefInfo);
  g_free(uri);
  const std::string why = GstErrorText(gerror, nullptr);
  g_clear_error(&gerror);
  if (!info) {
    result.playable = false;
    result.problem = "GStreamer cannot read it: " + why;
    return result;
  }
  const gchar** missing = gst_discoverer_info_get_missing_elements_installer_details(info.get());
  if (missing != nullptr && missing[0] != nullptr) {
    // Said first whatever the result: a file without its demuxer also times out.
    result.playable = false;
    result.problem = MissingText(info.get());
    return result;
  }
  switch (gst_discoverer_info_get_result(info.get())) {
    case GST_DISCOVERER_OK:
      break;
    case GST_DISCOVERER_MISSING_PLUGINS:
      result.playable = false;
      result.problem = MissingText(info.get());
      return result;
    case GST_DISCOVERER_TIMEOUT:
      result.playable = false;
      result.problem = "GStreamer did not read it within " + std::to_string(limit.count()) + " ms";
      return result;
    default:
      result.playable = false;
      result.problem = "GStreamer cannot read it: " + why;
      return result;
  }
  GList* videos = gst_discoverer_info_get_video_streams(info.get());
  bool picture = false;
  for (GList* stream = videos; stream != nullptr; stream = stream->next) {
    picture = picture || !gst_discoverer_video_info_is_image(
                             static_cast<GstDiscovererVideoInfo*>(stream->data));
  }
  gst_discoverer_stream_info_list_free(videos);
  if (!picture) {
    result.playable = false;
    result.problem = "GStreamer finds no moving picture in it";
  }
  return result;
}

}  // namespace vidra
