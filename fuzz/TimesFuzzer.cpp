// The text parsers of times and numbers that running orders carry: roEdStart, the trigger
// words, MOS decimal IDs and the calendar conversions they feed.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/FileTime.h"
#include "mos/MosXml.h"
#include "rundown/Records.h"
#include "rundown/Ro.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vidra;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const CalendarTime start = ParseEdStart(MosText(text));
  FileTime ticks = 0;
  if (FromCalendar(start, ticks)) {
    CalendarTime back;
    if (!ToCalendar(ticks, back) || back.year != start.year || back.month != start.month ||
        back.day != start.day || back.second != start.second) {
      __builtin_trap();  // a date that converts must convert back to itself
    }
    static_cast<void>(UtcToLocal(ticks));
    static_cast<void>(LocalToUtc(ticks));
  }
  static_cast<void>(ParseTriggerMode(MosText(text)));
  static_cast<void>(DecimalToInt32(text));
  return 0;
}
