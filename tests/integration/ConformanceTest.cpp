// vidra-nrcs conformance against the real server (every case passes) and against a device
// that answers wrongly (its faults are named and the run fails).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/Text.h"
#include "tests/integration/Processes.h"
#include "tests/support/TestSupport.h"
#include "tests/support/Wav.h"

namespace vidra::test {
namespace {

using namespace std::chrono_literals;

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++n;
  }
  return n;
}

TEST(Conformance, TheServerPassesEveryCaseOfWhatItClaims) {
  FreePort lower;
  FreePort upper;
  FreePort query;
  FreePort objects;     // the NRCS's own lower port, where the server sends its mosListAll
  const TempDir media;  // placeholders are made in it
  std::string text = Settings(lower.Port(), upper.Port(), "Path = " + media.Path() + "/\n") +
                     "NrcsLowerPort = " + std::to_string(objects.Port()) + "\n";
  text.replace(text.find("QueryPort = 0"), 13, "QueryPort = " + std::to_string(query.Port()));
  media.Write("opener.wav", WavBytes(2.0));
  TempFile settings(text);
  lower.Release();
  upper.Release();
  query.Release();
  objects.Release();
  TempFile errors("", "stderr.txt");
  ServerProcess server({"--config", settings.Path(), "--autostart"}, errors.Path());
  ToolRun run;
  ASSERT_TRUE(WaitUntil(
      [&] {
        run = RunTool(VIDRA_NRCS_PATH,
                      {"--lower", std::to_string(lower.Port()), "--upper",
                       std::to_string(upper.Port()), "--query", std::to_string(query.Port()),
                       "--object-port", std::to_string(objects.Port()), "conformance"});
        return run.out.find("the device claims") != std::string::npos;
      },
      20s))
      << run.err;
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("the device claims MOS profiles 0 1 2 3 4 5\n"), std::string::npos);
  EXPECT_EQ(Count(run.out, "FAIL"), 0u) << run.out;
  EXPECT_EQ(Count(run.out, "PASS"), 122u);
  EXPECT_NE(run.out.find("PASS profile 3, high byte first: mosReqObjList finds the placeholder by "
                         "its slug\n"),
            std::string::npos);
  EXPECT_NE(run.out.find("PASS profile 2, low byte first: roStoryMoveMultiple to the bottom\n"),
            std::string::npos);
  EXPECT_EQ(run.out.substr(run.out.rfind('\n', run.out.size() - 2) + 1), "122 passed, 0 failed\n");
}

// A device of profile 0 only that forgets to echo the messageID of heartbeats and answers
// everything it does not know with a heartbeat.
TEST(Conformance, FaultsOfADeviceAreNamed) {
  TestListener device;
  std::atomic<bool> serving{true};
  std::thread serve([&] {
    while (serving) {
      TestPeer peer;
      if (!device.Accept(peer, 200ms)) {
        continue;
      }
      for (;;) {
        bool highFirst = true;
        const std::string got = peer.ReceiveUntil(
            [&](const std::string& bytes) {
              highFirst = !bytes.empty() && bytes[0] == '\0';
              const std::u16string text = Utf16FromBytes(bytes, highFirst);
              return text.size() >= 6 && text.substr(text.size() - 6) == u"</mos>";
            },
            1s);
        if (got.size() < 2) {
          break;
        }
        const std::string rest = Utf16ToUtf8(Utf16FromBytes(got, highFirst));
        const auto id = rest.find("<messageID>");
        const std::string echo =
            id == std::string::npos ? "" : rest.substr(id, rest.find("</messageID>") + 12 - id);
        std::string answer;
        if (rest.find("<reqMachInfo/>") != std::string::npos) {
          answer = "<mos><mosID>D</mosID><ncsID>N</ncsID>" + echo +
                   "<listMachInfo><mosRev>2.8.5</mosRev><supportedProfiles><mosProfile0>YES"
                   "</mosProfile0></supportedProfiles></listMachInfo></mos>";
        } else if (rest.find("<heartbeat/>") != std::string::npos) {
          answer =
              "<mos><mosID>D</mosID><ncsID>N</ncsID><messageID>999</messageID><heartbeat/>"
              "</mos>";
        } else {
          answer = "<mos><mosID>D</mosID><ncsID>N</ncsID>" + echo + "<heartbeat/></mos>";
        }
        if (!peer.Send(Utf16Bytes(Utf8ToUtf16(answer), highFirst))) {
          break;
        }
      }
    }
  });
  const ToolRun run = RunTool(
      VIDRA_NRCS_PATH, {"--lower", std::to_string(device.Port()), "--upper",
                        std::to_string(device.Port()), "--answer-seconds", "2", "conformance"});
  serving = false;
  serve.join();
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("the device claims MOS profiles 0\n"), std::string::npos)
      << run.out << run.err;
  EXPECT_NE(run.out.find("FAIL profile 0, high byte first: heartbeat: messageID 999 answers 1\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(
      run.out.find("FAIL profile 0, high byte first: reqMachInfo: manufacturer missing before "
                   "mosRev in listMachInfo"),
      std::string::npos)
      << "a listMachInfo without what the protocol requires";
  EXPECT_NE(run.out.find("FAIL profile 0, low byte first: unknown message on the lower port: "
                         "expected mosAck NACK"),
            std::string::npos);
  EXPECT_EQ(Count(run.out, "profile 2"), 0u) << "what is not claimed is not tried";
  EXPECT_NE(run.out.find("FAIL profile 0, high byte first: not well-formed XML on the upper port: "
                         "expected a roAck that refuses"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("0 passed, 16 failed\n"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace vidra::test
