// Each running order's lines are formatted under its lock and written after it is released,
// so a slow disk never holds up the threads that share the running orders.
#include "playout/PlaylistExport.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <memory>

#include "common/FileTime.h"
#include "common/Log.h"
#include "common/Text.h"

namespace vidra {

namespace {

// An attribute value as XML needs it: slugs and file names may hold quotes and ampersands,
// which written as they are would break the playlist for every program that reads it.
std::string Attribute(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string TwoDigits(long value) {
  char text[24];
  std::snprintf(text, sizeof text, "%02ld", value);
  return text;
}

std::string Clock(long h, long m, long s, long f) {
  return TwoDigits(h) + ":" + TwoDigits(m) + ":" + TwoDigits(s) + "." + TwoDigits(f);
}

// The wait line: TIMED running orders start at startTime, which holds local time as written
// in roEdStart, so it is written as it is.
std::string WaitLine(const ro& r) {
  const std::string title = Attribute(r.roSlug.Str());
  if (r.trigger == TIMED) {
    CalendarTime at{};
    if (!ToCalendar(r.startTime, at)) {
      at = CalendarTime{};
    }
    return "<wait start=\"time active\" time=\"" +
           Clock(at.hour, at.minute, at.second, at.milliseconds / 10) +
           "\" preload=\"5\" title=\"" + title + "\" />\r\n";
  }
  if (r.trigger == CHAINED) {
    return "<wait start=\"follow\" title=\"" + title + "\" />\r\n";
  }
  return "<wait start=\"operator\" title=\"" + title + "\" />\r\n";
}

std::string RunningOrderText(const ro& r) {
  std::lock_guard guard(r.lock);  // the ro lock, while its fields are read
  std::string text = WaitLine(r);
  for (const auto& s : r.stories) {
    text += "<comment title=\"Story : " + Attribute(s.storySlug.Str()) + "\" />\r\n";
    for (const auto& i : s.items) {
      if (!i.itemSlug.IsEmpty()) {
        text += "<comment title=\"Item : " + Attribute(i.itemSlug.Str()) + "\" />\r\n";
      }
      // The objPath as the NRCS sent it; the object's file for an item that has none.
      const std::string file =
          Attribute((i.paths.objPath.IsEmpty() ? i.mediaPath : i.paths.objPath).Str());
      const double markIn = i.markIn.value_or(0.0);
      const double duration = i.playDuration.value_or(0.0);
      if (markIn > 0.001 || duration > 0.001) {
        text += "<movie file=\"" + file + "\" duration=\"" + FormatTimecode(duration) +
                "\" markin=\"" + FormatTimecode(markIn) + "\" />\r\n";
      } else {
        text += "<movie file=\"" + file + "\" />\r\n";
      }
    }
  }
  return text;
}

struct FileCloser {
  // The unique_ptr that owns the file calls this once; a failed close of a file already
  // flushed and checked has nothing left to report.
  void operator()(std::FILE* file) const {
    std::fclose(file);  // NOLINT(cppcoreguidelines-owning-memory)
  }
};

bool WriteUtf16(std::FILE* file, const std::string& text) {
  const std::u16string units = Utf8ToUtf16(text);
  std::string bytes(units.size() * 2, '\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    bytes[i * 2] = static_cast<char>(units[i] & 0xFF);
    bytes[i * 2 + 1] = static_cast<char>(units[i] >> 8);
  }
  return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

}  // namespace

std::string FormatTimecode(double seconds) {
  const double v = std::fabs(seconds);
  if (!std::isfinite(v) || v > 1e15) {
    return Clock(23, 0, 0, 0);
  }
  const auto s = static_cast<long>(v + 0.001);
  long f = static_cast<long>((v - static_cast<double>(s)) * 100.0);
  f = f < 0 ? 0 : (f > 99 ? 99 : f);
  const long m = s / 60;
  const long h = m / 60;
  return Clock(h < 23 ? h : 23, m - 60 * h, s - 60 * m, f);
}

bool WritePlaylistFile(const std::string& path, const RoStore& store) {
  // Written beside it and renamed over it, so that a stop at any moment leaves either the
  // old playlist or the new one, never half of one.
  const std::string temporary = path + ".tmp";
  bool written = false;
  {
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(temporary.c_str(), "wb"));
    if (!file) {
      Log("VIDRA - cannot write the playlist %s: %s", path.c_str(), ErrorText(errno).c_str());
      return false;
    }
    std::vector<std::shared_ptr<ro>> list;
    store.CopyRoList(list);
    written = std::fwrite("\xFF\xFE", 1, 2, file.get()) == 2;
    for (std::size_t n = 0; written && n < list.size(); ++n) {
      written = WriteUtf16(file.get(), RunningOrderText(*list[n]));
    }
    written = std::fflush(file.get()) == 0 && ::fsync(::fileno(file.get())) == 0 && written;
  }
  if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
    Log("VIDRA - the playlist %s was not written completely: %s", path.c_str(),
        ErrorText(errno).c_str());
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace vidra
