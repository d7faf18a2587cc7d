// The time text of status notices.
#include "rundown/StatusNotice.h"

#include <cstdio>

namespace vidra {

std::string NoticeTime(FileTime utc) {
  CalendarTime t{};
  if (!ToCalendar(utc, t)) {
    t = CalendarTime{};
  }
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

}  // namespace vidra
