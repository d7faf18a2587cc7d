// The status page, its JSON API and /metrics of a real server process, driven by vidra-nrcs,
// and the page itself in a headless browser while a running order plays.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "tests/integration/Browser.h"
#include "tests/integration/Processes.h"

namespace vidra::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// A server with the status page on a free port, one virtual channel NEWS over the sample
// media, and the NRCS's notice port.
class StatusServerProcess {
 public:
  StatusServerProcess() {
    // The server takes any free ports for its own and says which; only the NRCS's notice
    // port must be known beforehand.
    FreePort notices;
    notices_ = notices.Port();
    settings_ = std::make_unique<TempFile>(
        Settings(0, 0, "Path = " VIDRA_SOURCE_DATA "/media/\nAirx = " + Folder(errors_) + "/\n") +
        "NrcsUpperPort = " + std::to_string(notices_) + "\n");
    notices.Release();
    server_ = std::make_unique<ServerProcess>(
        std::vector<std::string>{"--config", settings_->Path(), "--autostart", "--http", "0"},
        errors_.Path());
    const bool up = WaitUntil(
        [&] {
          const std::string log = ReadFile(errors_.Path());
          const std::size_t http = log.find("status page on http://127.0.0.1:");
          const std::size_t ports = log.find("serving on ports ");
          if (http == std::string::npos || ports == std::string::npos) {
            return false;
          }
          http_ = static_cast<std::uint16_t>(std::stoi(log.substr(http + 32)));
          unsigned lower = 0;
          unsigned upper = 0;
          std::sscanf(log.c_str() + ports, "serving on ports %u and %u", &lower, &upper);
          lower_ = static_cast<std::uint16_t>(lower);
          upper_ = static_cast<std::uint16_t>(upper);
          return true;
        },
        20s);
    if (!up) {
      const std::string log = ReadFile(errors_.Path());
      ADD_FAILURE() << "the server did not come up; its log ends:\n"
                    << log.substr(log.size() > 2000 ? log.size() - 2000 : 0);
    }
  }
  ~StatusServerProcess() {
    server_->Signal(SIGTERM);
    EXPECT_EQ(server_->Wait(), 0);
  }

  std::uint16_t Http() const { return http_; }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(http_) + "/"; }
  ToolRun Nrcs(std::vector<std::string> steps) const {
    std::vector<std::string> arguments{"--lower",       std::to_string(lower_),
                                       "--upper",       std::to_string(upper_),
                                       "--notice-port", std::to_string(notices_)};
    arguments.insert(arguments.end(), steps.begin(), steps.end());
    return RunTool(VIDRA_NRCS_PATH, arguments);
  }

 private:
  TempFile errors_{"", "stderr.txt"};
  std::unique_ptr<TempFile> settings_;
  std::unique_ptr<ServerProcess> server_;
  std::uint16_t lower_ = 0;
  std::uint16_t upper_ = 0;
  std::uint16_t notices_ = 0;
  std::uint16_t http_ = 0;
};

json GetJson(httplib::Client& client, const std::string& path) {
  const auto result = client.Get(path.c_str());
  if (!result || result->status != 200) {
    ADD_FAILURE() << path << ": " << (result ? result->status : -1);
    return json();
  }
  return json::parse(result->body);
}

// The value of one sample line of /metrics, -1 when there is none.
double Sample(const std::string& metrics, const std::string& series) {
  const std::size_t at = metrics.find("\n" + series + " ");
  return at == std::string::npos ? -1 : std::stod(metrics.substr(at + series.size() + 2));
}

// A raw TCP connection to the status port, for what no well-behaved client sends.
int Connect(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  return fd;
}

TEST(Status, TheApiAndMetricsFollowARunningOrder) {
  StatusServerProcess server;
  ASSERT_NE(server.Http(), 0) << "no status port in the log";
  httplib::Client client("127.0.0.1", server.Http());
  client.set_read_timeout(10, 0);

  json state = GetJson(client, "/api/state");
  EXPECT_EQ(state["state"], "Ready");
  EXPECT_TRUE(state["newestMessageAgeSeconds"].is_null());

  const ToolRun created = server.Nrcs({"create", "wait:1", "execute", "wait:1"});
  ASSERT_EQ(created.status, 0) << created.err;

  state = GetJson(client, "/api/state");
  EXPECT_EQ(state["state"], "Active");
  EXPECT_GE(state["newestMessageAgeSeconds"].get<double>(), 0.0);
  EXPECT_GT(state["lowerPort"].get<int>(), 0);

  const json channels = GetJson(client, "/api/channels")["channels"];
  ASSERT_EQ(channels.size(), 1u);
  EXPECT_EQ(channels[0]["name"], "NEWS");
  ASSERT_EQ(channels[0]["runningOrders"].size(), 1u);
  const json& ro = channels[0]["runningOrders"][0];
  EXPECT_EQ(ro["roID"], "VIDRA-DEMO");
  ASSERT_EQ(ro["stories"].size(), 2u);
  const json& opener = ro["stories"][0]["items"][0];
  EXPECT_EQ(opener["objID"], "OPENER");
  EXPECT_DOUBLE_EQ(opener["durationSeconds"].get<double>(), 2.0) << "opener.wav is 2 s long";
  EXPECT_NE(opener["state"], "NEW") << "the media check has passed it";

  // The on-air picture: the opener or the sting on air, the link from vidra-nrcs gone.
  const json onair = GetJson(client, "/api/onair");
  EXPECT_EQ(onair["phase"], "serving");
  EXPECT_EQ(onair["badge"]["text"], "NRCS LOST") << onair.dump();
  ASSERT_EQ(onair["links"].size(), 1u);
  EXPECT_EQ(onair["links"][0]["host"], "127.0.0.1");
  EXPECT_GE(onair["links"][0]["lastAckMessageID"].get<int>(), 1) << "notices were acknowledged";
  EXPECT_EQ(onair["channels"][0]["runningOrders"][0]["plannedSeconds"], 3.0) << "2 s and 1 s";
  EXPECT_EQ(GetJson(client, "/api/links")["links"][0]["status"], "lost");
  state = GetJson(client, "/api/state");
  EXPECT_EQ(state["zone"].get<std::string>().size(), 6u) << state.dump();
  EXPECT_EQ(state["now"].get<std::string>().substr(23), state["zone"])
      << "ISO 8601 with the offset";
  const json version = GetJson(client, "/api/channels");
  EXPECT_FALSE(version["unchanged"].get<bool>());

  const json journal = GetJson(client, "/api/journal?limit=3");
  const auto count = journal["count"].get<std::int64_t>();
  ASSERT_GE(count, 4);
  ASSERT_EQ(journal["entries"].size(), 3u);
  EXPECT_EQ(journal["entries"][0]["number"], count - 1) << "newest first";
  EXPECT_EQ(journal["entries"][1]["number"], count - 2);
  const json first = GetJson(client, "/api/journal/0");
  EXPECT_NE(first["text"].get<std::string>().find("<roCreate>"), std::string::npos);
  EXPECT_EQ(first["direction"], 1);
  EXPECT_EQ(client.Get("/api/journal/99999")->status, 404);

  const std::string metrics = client.Get("/metrics")->body;
  EXPECT_EQ(Sample(metrics, "vidra_messages_received_total{type=\"roCreate\"}"), 1) << metrics;
  EXPECT_EQ(Sample(metrics, "vidra_messages_received_total{type=\"roCtrl\"}"), 1);
  EXPECT_EQ(Sample(metrics, "vidra_messages_sent_total{type=\"roAck\"}"), 2);
  EXPECT_EQ(Sample(metrics, "vidra_answers_total{status=\"OK\"}"), 2);
  EXPECT_GE(Sample(metrics, "vidra_notices_sent_total"), 2) << "READY and PLAY at least";
  EXPECT_EQ(Sample(metrics, "vidra_notices_sent_total"),
            Sample(metrics, "vidra_notices_acknowledged_total"))
      << "vidra-nrcs acknowledges every notice";
  EXPECT_EQ(Sample(metrics, "vidra_playout_start_error_ms_count"), 1);
  EXPECT_EQ(Sample(metrics, "vidra_journal_entries"), static_cast<double>(count));
  double items = 0;
  for (const char* word : {"NEW", "NOT READY", "READY", "STOP", "CUE", "PLAY", "PAUSE", "DONE"}) {
    items += Sample(metrics, "vidra_items{channel=\"NEWS\",state=\"" + std::string(word) + "\"}");
  }
  EXPECT_EQ(items, 2) << "every item counted once";

  // Once the last clip has run out nothing is on air, and its item ends DONE like the one
  // before it (it says PLAY only for the moment between the clip's end and the turn that
  // sees it).
  json last;
  EXPECT_TRUE(WaitUntil(
      [&] {
        last = GetJson(client, "/api/channels")["channels"][0];
        return last["playing"].is_null() &&
               last["runningOrders"][0]["stories"][1]["items"][0]["state"] == "DONE";
      },
      10s))
      << last.dump();
  EXPECT_EQ(last["runningOrders"][0]["stories"][0]["items"][0]["state"], "DONE");
}

TEST(Status, BadRequestsAreRefusedAndTheMosServiceIsNeverHeldUp) {
  StatusServerProcess server;
  ASSERT_NE(server.Http(), 0);
  httplib::Client client("127.0.0.1", server.Http());
  EXPECT_EQ(client.Get("/no/such/page")->status, 404);
  EXPECT_EQ(client.Post("/api/state", "x", "text/plain")->status, 405);
  EXPECT_EQ(client.Delete("/metrics")->status, 405);
  EXPECT_GE(client.Get(("/api/journal?limit=" + std::string(100000, '9')).c_str())->status, 400)
      << "a request line past the library's limit";

  // Garbage, and a header that never ends, on raw connections.
  const int garbage = Connect(server.Http());
  const std::string junk = "\x16\x03\x01 not http at all\r\n\r\n";
  ASSERT_EQ(::send(garbage, junk.data(), junk.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(junk.size()));
  char answer[256] = {};
  EXPECT_GT(::recv(garbage, answer, sizeof answer - 1, 0), 0);
  EXPECT_EQ(std::string(answer).rfind("HTTP/1.1 400", 0), 0u) << answer;
  ::close(garbage);

  // More browsers than the web side has threads, all idle: the web side may be busy, but
  // the NRCS is still answered at once.
  std::vector<int> idle;
  for (int i = 0; i < 64; ++i) {
    idle.push_back(Connect(server.Http()));
    const std::string partial = "GET /api/channels HTTP/1.1\r\nHost: x\r\n";
    static_cast<void>(::send(idle.back(), partial.data(), partial.size(), MSG_NOSIGNAL));
  }
  const auto t0 = std::chrono::steady_clock::now();
  const ToolRun beat = server.Nrcs({"heartbeat", "create", "req"});
  EXPECT_EQ(beat.status, 0) << beat.err;
  EXPECT_NE(beat.out.find("<roList>"), std::string::npos);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s) << "answered without the web side";
  for (const int fd : idle) {
    ::close(fd);
  }
  // Once the idle browsers are gone the page is served again.
  EXPECT_TRUE(WaitUntil([&] {
    const auto result = client.Get("/api/state");
    return result && result->status == 200;
  }));
}

TEST(Status, TheBrowserSeesTheItemsChangeStateWhileTheyPlay) {
  if (!Browser::Installed()) {
    GTEST_SKIP() << "Debian's chromium and chromium-driver are not installed";
  }
  StatusServerProcess server;
  ASSERT_NE(server.Http(), 0);
  Browser browser;
  ASSERT_TRUE(browser.Started()) << "chromedriver gave no session";
  browser.Open(server.Url());
  const ToolRun created = server.Nrcs({"create"});
  ASSERT_EQ(created.status, 0) << created.err;

  // The states the page shows for each item, as it refreshes itself.
  const std::string script =
      "return Array.from(document.querySelectorAll('tr[data-item]'))"
      ".map(r => r.dataset.item + '=' + r.className);";
  std::set<std::string> seen;
  const auto look = [&] {
    for (const auto& row : browser.Run(script)) {
      seen.insert(row.get<std::string>());
    }
  };
  ASSERT_TRUE(WaitUntil(
      [&] {
        look();
        return seen.count("VIDRA-DEMO/S1/1=READY") == 1;
      },
      30s))
      << "the page never showed the running order ready";
  const ToolRun executed = server.Nrcs({"execute"});
  ASSERT_EQ(executed.status, 0) << executed.err;
  bool shot = false;
  EXPECT_TRUE(WaitUntil(
      [&] {
        look();
        if (!shot && seen.count("VIDRA-DEMO/S1/1=PLAY") == 1) {
          shot = browser.Screenshot("status-page-live.png");
        }
        return seen.count("VIDRA-DEMO/S2/1=PLAY") == 1 &&
               (seen.count("VIDRA-DEMO/S1/1=DONE") == 1 || seen.count("VIDRA-DEMO/S1/1=STOP") == 1);
      },
      30s))
      << "states seen: " << json(seen).dump();
  EXPECT_TRUE(shot) << "a screenshot while the opener played, as status-page-live.png";
  const std::string text = browser.Run("return document.body.innerText;");
  EXPECT_NE(text.find("NEWS"), std::string::npos);
}

}  // namespace
}  // namespace vidra::test
