// The running order the benchmarks send: the fields newsroom systems send, so 100 stories of
// 5 items come to about 370 KB on the wire as 16-bit text.
#pragma once

#include <string>

namespace vidra::bench {

inline std::string RunningOrder(const std::string& roID, int stories, int items) {
  std::string body = "<roID>" + roID +
                     "</roID><roSlug>Load test evening news</roSlug>"
                     "<roEdStart>2099-01-15T19:00:00</roEdStart><roEdDur>00:30:00</roEdDur>";
  for (int s = 0; s < stories; ++s) {
    const std::string story = std::to_string(s);
    body += "<story><storyID>S" + story + "</storyID><storySlug>Story " + story +
            " of the evening</storySlug><storyNum>A" + story + "</storyNum>";
    for (int i = 0; i < items; ++i) {
      const std::string item = std::to_string(i);
      body += "<item><itemID>I" + item + "</itemID><itemSlug>Story " + story + " clip " + item +
              ", cut for the evening bulletin with its sound</itemSlug><objID>O" + story + "-" +
              item +
              "</objID><mosID>VIDRA.NEWS</mosID><objPaths><objPath>sting.wav</objPath>"
              "</objPaths><objDur>250</objDur><objTB>25</objTB><itemEdStart>0</itemEdStart>"
              "<itemEdDur>250</itemEdDur><itemUserTimingDur>250</itemUserTimingDur></item>";
    }
    body += "</story>";
  }
  return body;
}

}  // namespace vidra::bench
