// The real server on a gstreamer channel, tried as a station would: three clips of 50
// frames in three broadcast formats, sent by the NRCS simulator as a running order and
// started with roCtrl EXECUTE, recorded by the channel's own sink as raw YUV4MPEG; every
// frame of the recording is then told by its picture (the test clips say which frame they
// are), so that a lost, repeated or foreign frame shows.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/integration/Processes.h"

namespace vidra::test {
namespace {

using namespace std::chrono_literals;

// One recorded frame: the clip frame it shows (-1 for black).
struct Seen {
  int index = -1;
};

// Reads a YUV4MPEG2 4:2:0 file: each frame is told by its mean luma (16 + 3 × its number)
// and its chroma (black is neutral grey in both).
std::vector<Seen> ReadY4m(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  std::string header;
  if (!std::getline(in, header) || header.rfind("YUV4MPEG2 ", 0) != 0) {
    error = "not a YUV4MPEG2 file: " + header;
    return {};
  }
  const auto field = [&](char key) {
    const std::size_t at = header.find(std::string(" ") + key);
    return at == std::string::npos ? 0 : std::atoi(header.c_str() + at + 2);
  };
  const std::size_t width = static_cast<std::size_t>(field('W'));
  const std::size_t height = static_cast<std::size_t>(field('H'));
  const std::size_t luma = width * height;
  const std::size_t chroma = (width / 2) * (height / 2);
  std::vector<Seen> frames;
  std::string marker;
  std::vector<unsigned char> picture(luma + 2 * chroma);
  while (std::getline(in, marker) && marker.rfind("FRAME", 0) == 0) {
    if (!in.read(reinterpret_cast<char*>(picture.data()),
                 static_cast<std::streamsize>(picture.size()))) {
      break;  // a frame cut short at the end is no frame
    }
    const auto mean = [&](std::size_t from, std::size_t count) {
      double sum = 0;
      for (std::size_t k = from; k < from + count; ++k) {
        sum += picture[k];
      }
      return sum / static_cast<double>(count);
    };
    const double y = mean(0, luma);
    const double cb = mean(luma, chroma);
    const double cr = mean(luma + chroma, chroma);
    Seen seen;
    if (std::abs(cb - 128) > 24 || std::abs(cr - 128) > 24) {
      seen.index = static_cast<int>(std::lround((y - 16) / 3.0));
    }
    frames.push_back(seen);
  }
  return frames;
}

TEST(GstServer, ThreeFormatsChainedFromExecuteShowEveryFrameOnceOnTheRecording) {
  TempFile errors("", "stderr.txt");
  const std::string folder = Folder(errors);
  const std::string media = folder + "/media";
  std::filesystem::create_directories(media);
  const std::vector<std::pair<std::string, std::string>> clips = {
      {"xdcam-hd422", "a.mxf"}, {"h264-mp4", "b.mp4"}, {"mpeg4-mkv", "c.mkv"}};
  std::string stories;
  for (std::size_t k = 0; k < clips.size(); ++k) {
    const std::string command = "bash '" VIDRA_SOURCE_DATA "/../scripts/make-test-clip.sh' " +
                                clips[k].first + " '" + media + "/" + clips[k].second +
                                "' --frames 50 > /dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    stories += "<story><storyID>S" + std::to_string(k + 1) + "</storyID><item><itemID>1</itemID>" +
               "<objID>" + clips[k].second + "</objID><mosID>VIDRA.NEWS</mosID><objPaths>" +
               "<objPath>" + clips[k].second + "</objPath></objPaths></item></story>";
  }
  // Beside it, a running order of files the channel cannot show: told NOT READY at once,
  // with the reason on the readiness sheet.
  ASSERT_EQ(std::system(("bash '" VIDRA_SOURCE_DATA "/../scripts/make-test-clip.sh' sound-wav '" +
                         media + "/sound.wav' --frames 25 > /dev/null 2>&1")
                            .c_str()),
            0);
  std::ofstream(media + "/notes.mxf") << "not a clip";
  TempFile unplayable(
      "<mos><mosID>VIDRA.NEWS</mosID><ncsID>NCS</ncsID><messageID>2</messageID>"
      "<roCreate><roID>VIDRA-BAD</roID><story><storyID>B1</storyID><item>"
      "<itemID>1</itemID><objID>sound.wav</objID><mosID>VIDRA.NEWS</mosID>"
      "<objPaths><objPath>sound.wav</objPath></objPaths></item><item>"
      "<itemID>2</itemID><objID>notes.mxf</objID><mosID>VIDRA.NEWS</mosID>"
      "<objPaths><objPath>notes.mxf</objPath></objPaths></item></story>"
      "</roCreate></mos>",
      "bad.xml");
  TempFile create(
      "<mos><mosID>VIDRA.NEWS</mosID><ncsID>NCS</ncsID><messageID>1</messageID>"
      "<roCreate><roID>VIDRA-DEMO</roID><roSlug>Formats</roSlug>" +
          stories + "</roCreate></mos>",
      "create.xml");

  const std::string recording = folder + "/air.y4m";
  FreePort lower;
  FreePort upper;
  FreePort notices;
  TempFile settings(
      Settings(lower.Port(), upper.Port(), "Path = " + media + "/\nAirx = " + folder + "/\n",
               "gstreamer 320x180@25 videoconvert ! video/x-raw,format=I420 ! y4menc ! filesink "
               "location=" +
                   recording + " fakesink sync=true") +
      "NrcsUpperPort = " + std::to_string(notices.Port()) + "\n");
  lower.Release();
  upper.Release();
  notices.Release();
  ServerProcess server({"--config", settings.Path(), "--autostart"}, errors.Path());
  ASSERT_TRUE(WaitUntil(
      [&] {
        return RunTool(VIDRA_CTL_PATH, {"--control", server.ControlPath(), "state"})
                   .out.rfind("Ready (MOS state 3)", 0) == 0;
      },
      20s))
      << ReadFile(errors.Path());

  // 150 frames are 6 s; the media check and the first prepare take a few seconds more.
  const ToolRun run =
      RunTool(VIDRA_NRCS_PATH,
              {"--lower", std::to_string(lower.Port()), "--upper", std::to_string(upper.Port()),
               "--notice-port", std::to_string(notices.Port()), "file:" + unplayable.Path(),
               "file:" + create.Path(), "wait:3", "execute", "--wait", "9"});
  EXPECT_EQ(run.status, 0) << run.err;
  const std::string log = ReadFile(errors.Path());
  for (const char* word : {"READY", "PLAY", "STOP"}) {
    std::size_t count = 0;
    const std::string status = std::string("<status>") + word + "</status>";
    for (std::size_t at = run.out.find(status); at != std::string::npos;
         at = run.out.find(status, at + 1)) {
      ++count;
    }
    EXPECT_GE(count, 3u) << word << " for each item:\n" << run.out;
  }
  // Only the two unplayable items are NOT READY: the player decodes all three clips.
  std::size_t notReady = 0;
  for (std::size_t at = run.out.find("<status>NOT READY</status>"); at != std::string::npos;
       at = run.out.find("<status>NOT READY</status>", at + 1)) {
    ++notReady;
    const std::size_t line = run.out.rfind('\n', at);
    EXPECT_NE(run.out.substr(line, at - line).find("<roID>VIDRA-BAD</roID>"), std::string::npos);
  }
  EXPECT_EQ(notReady, 2u) << run.out;
  EXPECT_EQ(log.find("GStreamer clip"), std::string::npos) << "no clip failed or was late:\n"
                                                           << log;
  EXPECT_EQ(log.find("Timeout"), std::string::npos) << "every notice was acknowledged";
  // The last item ends DONE, not PLAY, on the status of the channel.
  const ToolRun readiness =
      RunTool(VIDRA_CTL_PATH, {"--control", server.ControlPath(), "readiness"});
  for (const char* item : {"S1/1 DONE ", "S2/1 DONE ", "S3/1 DONE "}) {
    EXPECT_NE(readiness.out.find(item), std::string::npos) << readiness.out;
  }
  EXPECT_NE(readiness.out.find("(sound only: no picture for a video channel)"), std::string::npos)
      << readiness.out;
  EXPECT_NE(readiness.out.find("(not a media file FFmpeg knows)"), std::string::npos)
      << readiness.out;

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0) << ReadFile(errors.Path());

  std::string error;
  const std::vector<Seen> frames = ReadY4m(recording, error);
  ASSERT_TRUE(error.empty()) << error;
  // Black, then frames 0..49 of each clip in turn with nothing between, then black.
  std::size_t first = 0;
  while (first < frames.size() && frames[first].index < 0) {
    ++first;
  }
  ASSERT_LT(first, frames.size()) << "no clip frame reached the recording";
  EXPECT_GT(first, 0u) << "the channel showed black before the EXECUTE";
  std::string wrong;
  for (std::size_t k = 0; k < 150; ++k) {
    const int shown = first + k < frames.size() ? frames[first + k].index : -2;
    if (shown != static_cast<int>(k % 50)) {
      wrong += " output frame " + std::to_string(k) + " shows " + std::to_string(shown) + " for " +
               std::to_string(k % 50) + ";";
    }
  }
  EXPECT_TRUE(wrong.empty()) << wrong;
  for (std::size_t k = first + 150; k < frames.size(); ++k) {
    EXPECT_EQ(frames[k].index, -1) << "black after the last clip, frame " << k;
  }
}

}  // namespace
}  // namespace vidra::test
