#include "playout/Readiness.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "common/Text.h"

namespace vidra {

namespace {

const char* ProblemWord(MediaProblem problem) {
  switch (problem) {
    case MediaProblem::Missing:
      return "MISSING";
    case MediaProblem::Unplayable:
      return "UNPLAYABLE";
    case MediaProblem::None:
      break;
  }
  return "";
}

// A planned length of the item in the channels' frames: itemEdDur, else itemUserTimingDur,
// each in frames of the item's objTB (or of the channels when it has none).
bool PlannedFrames(const item& i, double rate, std::int64_t& frames) {
  const MosText& text = i.itemEdDur.Present() ? i.itemEdDur : i.itemUserTimingDur;
  if (!text.Present()) {
    return false;
  }
  const auto value = ParseUnsigned(Trim(text.Str()), 0, std::uint64_t{1} << 40);
  if (!value) {
    return false;
  }
  double timeBase = rate;
  if (const auto base = std::strtod(i.objTB.CStr(), nullptr); base > 0.1) {
    timeBase = base;
  }
  frames = std::llround(static_cast<double>(*value) / timeBase * rate);
  return true;
}

}  // namespace

std::string FramesText(std::int64_t frames, double frameRate, bool sign) {
  const std::int64_t whole = frames < 0 ? -frames : frames;
  const auto perSecond = static_cast<std::int64_t>(std::llround(frameRate > 0 ? frameRate : 25));
  const std::int64_t seconds = whole / perSecond;
  char text[80];
  std::snprintf(text, sizeof text, "%s%02lld:%02lld:%02lld:%02lld (%s%.2f s)",
                sign ? (frames < 0 ? "-" : "+") : "", static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60),
                static_cast<long long>(whole % perSecond), sign ? (frames < 0 ? "-" : "+") : "",
                static_cast<double>(whole) / (frameRate > 0 ? frameRate : 25));
  return text;
}

std::vector<ReadinessChannel> BuildReadiness(PlayoutManager& manager) {
  std::vector<ReadinessChannel> sheet;
  const double rate = manager.frameRate;
  for (std::size_t k = 0; k < manager.ChannelCount(); ++k) {
    // The channel's own player decides what can play.
    const ProbeCache* cache = manager.MediaCacheOf(k);
    ReadinessChannel channel;
    channel.name = manager.Channels()[k].channelName;
    channel.frameRate = rate;
    std::vector<std::shared_ptr<ro>> list;
    manager.Store(static_cast<std::int32_t>(k)).CopyRoList(list);
    for (const std::shared_ptr<ro>& r : list) {
      ReadinessRunningOrder sheetRo;
      std::vector<item> items;
      std::vector<std::string> storyIDs;
      {
        std::lock_guard guard(r->lock);  // the ro lock: copies, no file is looked at
        sheetRo.roID = r->roID.Str();
        sheetRo.roSlug = r->roSlug.Str();
        for (const story& s : r->stories) {
          for (const item& i : s.items) {
            items.push_back(i);
            storyIDs.emplace_back(s.storyID.Str());
          }
        }
      }
      for (std::size_t n = 0; n < items.size(); ++n) {
        const item& i = items[n];
        ReadinessItem line;
        line.storyID = storyIDs[n];
        line.itemID = i.itemID.Str();
        line.itemSlug = i.itemSlug.Str();
        line.objID = i.objID.Str();
        line.state = i.StateWord();
        line.file = i.mediaPath.IsEmpty() ? manager.MediaPathOf(i) : i.mediaPath.Str();
        FileCondition condition = FileCondition::Missing;
        std::optional<ProbeResult> known;
        if (cache != nullptr) {
          known = cache->Peek(line.file, condition);
        }
        line.problem = condition == FileCondition::Missing               ? MediaProblem::Missing
                       : condition == FileCondition::Unplayable && known ? MediaProblem::Unplayable
                                                                         : MediaProblem::None;
        line.known = known.has_value() && known->playable;
        if (line.problem == MediaProblem::Unplayable && known) {
          line.reason = known->problem;
        }
        line.fileFrames = known ? FramesAt(*known, rate) : 0;
        line.planned = PlannedFrames(i, rate, line.plannedFrames);
        sheetRo.missing += line.problem == MediaProblem::Missing ? 1 : 0;
        sheetRo.unplayable += line.problem == MediaProblem::Unplayable ? 1 : 0;
        sheetRo.plannedFrames += line.planned ? line.plannedFrames : 0;
        sheetRo.availableFrames += line.known ? line.fileFrames : 0;
        sheetRo.items.push_back(std::move(line));
      }
      std::stable_sort(
          sheetRo.items.begin(), sheetRo.items.end(),
          [](const ReadinessItem& a, const ReadinessItem& b) {
            const auto rank = [](MediaProblem p) {
              return p == MediaProblem::Missing ? 0 : p == MediaProblem::Unplayable ? 1 : 2;
            };
            return rank(a.problem) < rank(b.problem);
          });
      channel.runningOrders.push_back(std::move(sheetRo));
    }
    sheet.push_back(std::move(channel));
  }
  return sheet;
}

std::string ReadinessText(const std::vector<ReadinessChannel>& sheet) {
  std::string text;
  for (const ReadinessChannel& channel : sheet) {
    text += "channel " + channel.name + "\n";
    if (channel.runningOrders.empty()) {
      text += "  no running order\n";
    }
    for (const ReadinessRunningOrder& r : channel.runningOrders) {
      text += "  running order " + r.roID + (r.roSlug.empty() ? "" : " \"" + r.roSlug + "\"") +
              ": " + std::to_string(r.items.size()) + " items, " + std::to_string(r.missing) +
              " missing, " + std::to_string(r.unplayable) + " unplayable\n";
      text += "    planned " + FramesText(r.plannedFrames, channel.frameRate, false) +
              ", available " + FramesText(r.availableFrames, channel.frameRate, false) + "\n";
      for (const ReadinessItem& i : r.items) {
        std::string line = "    " + i.storyID + "/" + i.itemID + " " + i.state;
        if (i.problem != MediaProblem::None) {
          line += std::string(" ") + ProblemWord(i.problem);
        }
        if (!i.reason.empty()) {
          line += " (" + i.reason + ")";
        }
        line += " " + (i.file.empty() ? std::string("(no file)") : i.file);
        if (i.known) {
          line += " file " + FramesText(i.fileFrames, channel.frameRate, false);
          if (i.planned) {
            line += " planned " + FramesText(i.plannedFrames, channel.frameRate, false) +
                    (i.fileFrames == i.plannedFrames ? " exact fit"
                     : i.fileFrames > i.plannedFrames
                         ? " over " +
                               FramesText(i.fileFrames - i.plannedFrames, channel.frameRate, true)
                         : " under " +
                               FramesText(i.fileFrames - i.plannedFrames, channel.frameRate, true));
          }
        }
        text += line + "\n";
      }
    }
  }
  return text;
}

}  // namespace vidra
