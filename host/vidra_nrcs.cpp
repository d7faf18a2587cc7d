// vidra-nrcs: an NRCS simulator for trying a MOS device from a shell. It runs the steps
// given on its command line in order, prints every message and answer, and acknowledges
// the notices that come to its own upper port. Exit status 0 when every step was answered.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "host/Conformance.h"
#include "host/NrcsSimulator.h"

namespace {

int Run(int argc, char** argv) {
  CLI::App app{"NRCS simulator: sends MOS messages to a MOS device and acknowledges its notices"};
  app.footer(vidra::NrcsSimulator::StepHelp());
  vidra::NrcsOptions options;
  bool littleEndian = false;
  int wait = 0;
  std::vector<std::string> steps;
  app.add_option("--host", options.host, "the device's IPv4 address")->capture_default_str();
  app.add_option("--lower", options.lowerPort, "its lower port")->capture_default_str();
  app.add_option("--upper", options.upperPort, "its upper port")->capture_default_str();
  app.add_option("--query", options.queryPort, "its query port (search)")->capture_default_str();
  app.add_option("--notice-port", options.noticePort,
                 "this NRCS's own upper port, where notices come (0: none)")
      ->capture_default_str();
  app.add_option("--object-port", options.objectPort,
                 "this NRCS's own lower port, where the device sends mosObj and mosListAll, "
                 "each acknowledged (0: none)")
      ->capture_default_str();
  app.add_option("--mos-id", options.mosID, "mosID of the messages (names the channel)")
      ->capture_default_str();
  app.add_option("--ro", options.roID, "roID of the sample running order")->capture_default_str();
  app.add_option("--answer-seconds", options.answerSeconds, "how long to wait for each answer")
      ->capture_default_str();
  app.add_option("--other", options.other,
                 "the other server of a main/backup pair, host:lower:upper: tried when this one "
                 "does not answer or answers that it is the backup");
  app.add_option("--wait", wait, "seconds to keep acknowledging notices after the steps");
  app.add_flag("--little-endian", littleEndian, "low byte first on the wire");
  app.add_option("steps", steps, "the steps to run")->required();
  CLI11_PARSE(app, argc, argv);
  options.highByteFirst = !littleEndian;
  if (steps == std::vector<std::string>{"conformance"}) {
    return vidra::RunConformance(options) ? 0 : 1;
  }

  vidra::NrcsSimulator nrcs(options);
  bool ok = nrcs.ListenForNotices() && nrcs.ListenForObjects();
  for (const std::string& step : steps) {
    ok = nrcs.Run(step) && ok;
  }
  if (wait > 0) {
    ok = nrcs.Run("wait:" + std::to_string(wait)) && ok;
  }
  std::fprintf(stderr, "vidra-nrcs: %d notices acknowledged\n", nrcs.Notices());
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vidra-nrcs: %s\n", e.what());
  }
  return 1;
}
