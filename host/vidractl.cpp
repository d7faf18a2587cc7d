// vidractl: the controlling client of vidra-server. Each subcommand is one control
// operation (journal reads many); the exit status is 0 when the result code is S_OK and 1
// otherwise, and the result code is printed in hex with its name.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <thread>

#include "common/FileTime.h"
#include "common/HResult.h"
#include "host/ControlClient.h"
#include "host/ControlObject.h"
#include "host/ControlServer.h"
#include "host/OnAirText.h"

namespace {

using nlohmann::json;
using vidra::HResult;

HResult ResultOf(const json& answer) {
  return static_cast<HResult>(answer.value("hr", static_cast<std::int32_t>(HResult::E_FAIL)));
}

struct Entry {
  std::string text;
  int dest = 0;
  std::uint64_t time = 0;
  int clientId = 0;
  bool operator==(const Entry&) const = default;
};

// A journal time (UTC) as this machine's station time with its offset.
std::string StationTime(std::uint64_t utc) {
  const vidra::FileTime local = vidra::UtcToLocal(utc);
  return vidra::FormatStationTime(local, vidra::OffsetSeconds(local, utc));
}

class Controller {
 public:
  explicit Controller(std::string path) : path_(std::move(path)) {}

  bool Connect() {
    std::string error;
    if (!client_.Connect(path_, error)) {
      std::fprintf(stderr, "vidractl: %s\n", error.c_str());
      return false;
    }
    return true;
  }

  std::optional<json> Call(const json& request) {
    std::string error;
    auto answer = client_.Call(request, error);
    if (!answer) {
      std::fprintf(stderr, "vidractl: %s\n", error.c_str());
    } else if (answer->contains("error")) {
      std::fprintf(stderr, "vidractl: %s\n", (*answer)["error"].get<std::string>().c_str());
    }
    return answer;
  }

  // One of the four operations without out-values.
  int Simple(const char* op) {
    const auto answer = Call({{"op", op}});
    if (!answer) {
      return 1;
    }
    const HResult hr = ResultOf(*answer);
    std::printf("%s: %s\n", op, vidra::Describe(hr).c_str());
    return hr == HResult::S_OK ? 0 : 1;
  }

  // The pre-air readiness sheet, as the server words it.
  int Readiness(bool asJson) {
    const auto answer = Call({{"op", "GetReadiness"}});
    if (!answer) {
      return 1;
    }
    if (const HResult hr = ResultOf(*answer); hr != HResult::S_OK) {
      std::printf("GetReadiness: %s\n", vidra::Describe(hr).c_str());
      return 1;
    }
    if (asJson) {
      PrintJson(answer->value("sheet", json::object()));
    } else {
      std::fputs(answer->value("text", std::string()).c_str(), stdout);
    }
    return 0;
  }

  std::optional<json> OnAirView() {
    const auto answer = Call({{"op", "GetOnAir"}});
    if (!answer || ResultOf(*answer) != HResult::S_OK) {
      return std::nullopt;
    }
    return answer->value("onair", json::object());
  }

  int State(bool asJson) {
    const auto answer = Call({{"op", "GetStateMOSSrv"}});
    if (!answer) {
      return 1;
    }
    const HResult hr = ResultOf(*answer);
    if (hr != HResult::S_OK) {
      std::printf("GetStateMOSSrv: %s\n", vidra::Describe(hr).c_str());
      return 1;
    }
    const int state = answer->value("State", 0);
    const json view = OnAirView().value_or(json::object());
    const std::string phase = view.value("phase", "");
    const json badge = view.value("badge", json::object());
    if (asJson) {
      PrintJson({{"state", vidra::ServerStateName(state)},
                 {"stateNumber", state},
                 {"phase", phase},
                 {"link", badge.value("text", "")},
                 {"linkLevel", badge.value("level", "")},
                 {"alarms", view.value("alarms", json::array()).size()},
                 {"pair", view.value("pair", json())}});
      return 0;
    }
    std::printf("%s (MOS state %d), %s, link: %s, %zu alarm(s)\n", vidra::ServerStateName(state),
                state, phase.c_str(), badge.value("text", std::string("unknown")).c_str(),
                view.value("alarms", json::array()).size());
    if (const json pair = view.value("pair", json()); pair.is_object()) {
      std::printf("pair: %s (epoch %llu), peer %s, link %s, %llu change(s) behind%s\n",
                  pair.value("role", "").c_str(), pair.value("epoch", 0ull),
                  pair.value("peer", "").c_str(), pair.value("link", "").c_str(),
                  pair.value("behind", 0ull), pair.value("degraded", false) ? ", DEGRADED" : "");
    }
    return 0;
  }

  // vidractl role main|backup: the pair's role, for an operator or the VRRP daemon's
  // notify scripts.
  int Role(const std::string& role) {
    const auto answer = Call({{"op", "SetRole"}, {"role", role}});
    if (!answer) {
      return 1;
    }
    const HResult hr = ResultOf(*answer);
    std::printf("SetRole %s: %s\n", role.c_str(), vidra::Describe(hr).c_str());
    return hr == HResult::S_OK ? 0 : 1;
  }

  // vidractl health: 0 while the server serves (the VRRP daemon's check script keeps the
  // NRCS's address on a healthy server only), with one line saying why.
  int Health() {
    const auto answer = Call({{"op", "GetPair"}});
    if (!answer) {
      std::printf("unhealthy: the server does not answer on its control socket\n");
      return 1;
    }
    const std::string phase = answer->value("phase", "");
    const json pair = answer->value("pair", json());
    std::string role = "no pair";
    if (pair.is_object()) {
      role = pair.value("role", "") + " (epoch " + std::to_string(pair.value("epoch", 0)) +
             "), link " + pair.value("link", "");
    }
    if (phase != "serving") {
      std::printf("unhealthy: %s, %s\n", phase.c_str(), role.c_str());
      return 1;
    }
    std::printf("healthy: serving, %s\n", role.c_str());
    return 0;
  }

  // What each channel plays, its time left, what comes next and the next timed start.
  int OnAir(bool asJson) {
    const auto view = OnAirView();
    if (!view) {
      std::printf("GetOnAir: no answer\n");
      return 1;
    }
    if (asJson) {
      PrintJson(*view);
    } else {
      std::fputs(vidra::OnAirText(*view).c_str(), stdout);
    }
    return 0;
  }

  std::optional<Entry> Message(int number, HResult& hr) {
    const auto answer = Call({{"op", "GetMessageByNumberInQueue"}, {"number", number}});
    hr = answer ? ResultOf(*answer) : HResult::E_FAIL;
    if (hr != HResult::S_OK) {
      return std::nullopt;
    }
    return Entry{answer->value("MessageContent", ""), answer->value("MessageDest", 0),
                 answer->value("messFiletime", std::uint64_t{0}), answer->value("clientId", 0)};
  }

  static void Print(const Entry& e) {
    std::printf("%s %s client %d %s\n", StationTime(e.time).c_str(), e.dest == 0 ? "out" : "in",
                e.clientId, e.text.c_str());
    std::fflush(stdout);
  }

  static void PrintJson(const json& value) {
    std::printf("%s\n", value.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
    std::fflush(stdout);
  }

  static json EntryJson(int number, const Entry& e) {
    return {{"number", number},
            {"time", StationTime(e.time)},
            {"direction", e.dest == 0 ? "out" : "in"},
            {"clientId", e.clientId},
            {"text", e.text}};
  }

  int ShowMessage(int number, bool asJson) {
    HResult hr = HResult::S_OK;
    const auto entry = Message(number, hr);
    if (!entry) {
      const auto count = Count();
      if (count && (number < 0 || number >= *count)) {
        std::printf("no such entry: %d (the journal holds %s)\n", number,
                    *count == 0 ? "none" : ("entries 0 to " + std::to_string(*count - 1)).c_str());
      } else {
        std::printf("GetMessageByNumberInQueue(%d): %s\n", number, vidra::Describe(hr).c_str());
      }
      return 1;
    }
    if (asJson) {
      PrintJson(EntryJson(number, *entry));
    } else {
      Print(*entry);
    }
    return 0;
  }

  std::optional<int> Count() {
    const auto answer = Call({{"op", "GetMessageCount"}});
    if (!answer || ResultOf(*answer) != HResult::S_OK) {
      return std::nullopt;
    }
    return answer->value("count", 0);
  }

  // Prints every entry, oldest first; with follow, then the new ones as they come. Entries
  // an hour old leave the front of the journal, so the last one printed is looked for again
  // before each round instead of trusting its number.
  int Journal(bool follow, int intervalMs, bool asJson) {
    std::optional<Entry> last;
    for (;;) {
      const auto count = Count();
      if (!count) {
        return 1;
      }
      int from = 0;
      if (last) {
        for (int n = *count - 1; n >= 0; --n) {
          HResult hr = HResult::S_OK;
          const auto entry = Message(n, hr);
          if (entry && *entry == *last) {
            from = n + 1;
            break;
          }
        }
      }
      for (int n = from; n < *count; ++n) {
        HResult hr = HResult::S_OK;
        if (const auto entry = Message(n, hr)) {
          if (asJson) {
            PrintJson(EntryJson(n, *entry));
          } else {
            Print(*entry);
          }
          last = entry;
        }
      }
      if (!follow) {
        return 0;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
    }
  }

 private:
  std::string path_;
  vidra::ControlClient client_;
};

int Run(int argc, char** argv) {
  CLI::App app{"Controls a running vidra-server through its control socket"};
  app.require_subcommand(1);
  std::string path = vidra::DefaultControlPath();
  app.add_option("--control", path, "control socket of the server")->capture_default_str();
  int result = 1;
  int number = 0;
  bool follow = false;
  int interval = 500;
  auto* init = app.add_subcommand("init", "InitMOSSrv: read the settings, open the ports");
  auto* start = app.add_subcommand("start", "StartToWork: listen and start playout");
  auto* stop = app.add_subcommand("stop", "StopApplyingClients: stop serving");
  auto* deinit = app.add_subcommand("deinit", "DeInitMOSSrv: write playlists, release all");
  auto* state = app.add_subcommand("state", "GetStateMOSSrv: the state number and its name");
  auto* message = app.add_subcommand("message", "GetMessageByNumberInQueue: one journal entry");
  message->add_option("N", number, "entry number, 0 is the oldest")->required();
  auto* journal = app.add_subcommand("journal", "every journal entry, oldest first");
  auto* readiness = app.add_subcommand(
      "readiness", "the pre-air readiness sheet: every item's media against its plan");
  auto* onair = app.add_subcommand(
      "onair", "what each channel plays, its time left, what is next, the next timed start");
  std::string role;
  auto* roleCommand = app.add_subcommand(
      "role", "make this server the main or the backup of its pair (the VRRP notify scripts)");
  roleCommand->add_option("ROLE", role, "main or backup")
      ->required()
      ->check(CLI::IsMember({"main", "backup"}));
  auto* health = app.add_subcommand(
      "health", "exit 0 while the server serves (the VRRP daemon's check script)");
  bool asJson = false;
  for (CLI::App* read : {state, message, journal, readiness, onair}) {
    read->add_flag("--json", asJson, "JSON (one object per line for the journal)");
  }
  journal->add_flag("--follow", follow, "then print new entries as they come");
  journal->add_option("--interval", interval, "milliseconds between polls with --follow")
      ->check(CLI::Range(50, 60000));
  CLI11_PARSE(app, argc, argv);

  Controller controller(path);
  if (!controller.Connect()) {
    return 1;
  }
  if (*init) {
    result = controller.Simple("InitMOSSrv");
  } else if (*start) {
    result = controller.Simple("StartToWork");
  } else if (*stop) {
    result = controller.Simple("StopApplyingClients");
  } else if (*deinit) {
    result = controller.Simple("DeInitMOSSrv");
  } else if (*state) {
    result = controller.State(asJson);
  } else if (*message) {
    result = controller.ShowMessage(number, asJson);
  } else if (*journal) {
    result = controller.Journal(follow, interval, asJson);
  } else if (*readiness) {
    result = controller.Readiness(asJson);
  } else if (*onair) {
    result = controller.OnAir(asJson);
  } else if (*roleCommand) {
    result = controller.Role(role);
  } else if (*health) {
    result = controller.Health();
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vidractl: %s\n", e.what());
  }
  return 1;
}
