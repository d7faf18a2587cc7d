#include "host/StatusServer.h"

#include <httplib.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "common/Log.h"
#include "common/Text.h"
#include "host/OnAirView.h"
#include "host/StatusView.h"

namespace vidra {

// The page's files, built into the program from data/status/.
extern const char* const kStatusPage;
extern const char* const kStatusStyle;
extern const char* const kStatusScript;
extern const char* const kOnAirPage;
extern const char* const kOnAirScript;
extern const char* const kShowScript;

namespace {

using nlohmann::json;

void SendJson(httplib::Response& response, const json& body) {
  // Journal texts come from the network: a broken sequence is replaced, never thrown on.
  response.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace),
                       "application/json");
}

std::int64_t NumberParam(const httplib::Request& request, const char* name, std::int64_t fallback) {
  if (!request.has_param(name)) {
    return fallback;
  }
  const std::string text = request.get_param_value(name);
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() ? value : fallback;
}

void Routes(httplib::Server& server, const CMOS_SRV_STNDRT& control) {
  const auto file = [&server](const char* path, const char* const& content, const char* type) {
    server.Get(path, [&content, type](const httplib::Request&, httplib::Response& response) {
      response.set_content(content, type);
    });
  };
  file("/", kStatusPage, "text/html; charset=utf-8");
  file("/index.html", kStatusPage, "text/html; charset=utf-8");
  file("/status.css", kStatusStyle, "text/css; charset=utf-8");
  file("/status.js", kStatusScript, "text/javascript; charset=utf-8");
  file("/onair", kOnAirPage, "text/html; charset=utf-8");
  file("/onair.js", kOnAirScript, "text/javascript; charset=utf-8");
  file("/show.js", kShowScript, "text/javascript; charset=utf-8");
  server.Get("/api/state", [&control](const httplib::Request&, httplib::Response& response) {
    SendJson(response, StateView(control));
  });
  server.Get("/api/peers", [&control](const httplib::Request&, httplib::Response& response) {
    SendJson(response, PeersView(control));
  });
  server.Get("/api/channels",
             [&control](const httplib::Request& request, httplib::Response& response) {
               SendJson(response, ChannelsView(control, request.get_param_value("unless"),
                                               request.get_param_value("outline") == "1"));
             });
  server.Get("/api/ro", [&control](const httplib::Request& request, httplib::Response& response) {
    const auto view = RunningOrderView(control, NumberParam(request, "channel", -1),
                                       request.get_param_value("roID"));
    if (!view) {
      response.status = 404;
      SendJson(response, {{"error", "no running order " + request.get_param_value("roID") +
                                        " on channel " + request.get_param_value("channel")}});
      return;
    }
    SendJson(response, *view);
  });
  server.Get("/api/onair", [&control](const httplib::Request&, httplib::Response& response) {
    SendJson(response, OnAirView(control));
  });
  server.Get("/api/links", [&control](const httplib::Request&, httplib::Response& response) {
    SendJson(response, {{"links", LinksView(control)}});
  });
  server.Get("/api/readiness", [&control](const httplib::Request&, httplib::Response& response) {
    SendJson(response, ReadinessView(control));
  });
  server.Get("/api/journal",
             [&control](const httplib::Request& request, httplib::Response& response) {
               const std::int64_t limit =
                   std::clamp<std::int64_t>(NumberParam(request, "limit", 100), 0, 1000);
               SendJson(response, JournalView(control, NumberParam(request, "before", -1),
                                              static_cast<std::size_t>(limit)));
             });
  server.Get(R"(/api/journal/(\d{1,18}))", [&control](const httplib::Request& request,
                                                      httplib::Response& response) {
    const auto entry = JournalEntryView(control, std::stoll(request.matches[1]));
    if (!entry) {
      response.status = 404;
      SendJson(response, {{"error", "no journal entry " + std::string(request.matches[1])}});
      return;
    }
    SendJson(response, *entry);
  });
  server.Get("/metrics", [&control](const httplib::Request&, httplib::Response& response) {
    response.set_content(MetricsView(control), "text/plain; version=0.0.4; charset=utf-8");
  });
  // Everything is read-only: any other method on any path is refused.
  const auto refuse = [](const httplib::Request&, httplib::Response& response) {
    response.status = 405;
    response.set_header("Allow", "GET, HEAD");
    response.set_content("only GET and HEAD are served\n", "text/plain");
  };
  server.Post(".*", refuse);
  server.Put(".*", refuse);
  server.Patch(".*", refuse);
  server.Delete(".*", refuse);
  server.Options(".*", refuse);
  server.set_error_handler([](const httplib::Request& request, httplib::Response& response) {
    if (response.body.empty()) {
      response.set_content(std::to_string(response.status) + ": " + request.path + "\n",
                           "text/plain");
    }
  });
}

}  // namespace

bool ParseHttpEndpoint(const std::string& text, HttpEndpoint& endpoint, std::string& error) {
  const std::size_t colon = text.rfind(':');
  const std::string address = colon == std::string::npos ? "" : text.substr(0, colon);
  const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
  unsigned value = 0;
  const auto [end, failed] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || failed != std::errc() || end != port.data() + port.size() || value > 65535) {
    error = "'" + text + "' is not PORT, :PORT or ADDRESS:PORT";
    return false;
  }
  endpoint.address = address.empty() ? "127.0.0.1" : address;
  endpoint.port = static_cast<std::uint16_t>(value);
  return true;
}

StatusServer::StatusServer(const CMOS_SRV_STNDRT& control, const HttpEndpoint& endpoint)
    : server_(std::make_unique<httplib::Server>()) {
  server_->set_payload_max_length(kMaxRequestBytes);
  server_->set_read_timeout(5, 0);
  server_->set_write_timeout(5, 0);
  server_->set_keep_alive_max_count(100);
  Routes(*server_, control);
  const int bound =
      endpoint.port == 0
          ? server_->bind_to_any_port(endpoint.address)
          : (server_->bind_to_port(endpoint.address, endpoint.port) ? endpoint.port : -1);
  if (bound <= 0) {
    throw std::runtime_error("cannot serve the status page on " + endpoint.address + ":" +
                             std::to_string(endpoint.port) + ": " + ErrorText(errno));
  }
  port_ = static_cast<std::uint16_t>(bound);
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // A stop before the listening loop runs would be lost, and the join wait for ever.
  for (int waited = 0; !server_->is_running() && waited < 5000; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Log("VIDRA - status page on http://%s:%u/\n", endpoint.address.c_str(), port_);
}

StatusServer::~StatusServer() {
  server_->stop();
  if (thread_.joinable()) {
    thread_.join();
  }
}

}  // namespace vidra
