#include "tests/integration/Browser.h"

#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "tests/integration/Processes.h"

namespace vidra::test {

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// Base64 as WebDriver sends screenshots.
std::string Unbase64(const std::string& text) {
  std::string out;
  int bits = 0;
  std::uint32_t buffer = 0;
  const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (const char c : text) {
    const char* at = c == '\0' ? nullptr : std::strchr(digits, c);
    if (c == '=' || at == nullptr) {
      continue;
    }
    buffer = (buffer << 6) | static_cast<std::uint32_t>(at - digits);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((buffer >> bits) & 0xFF);
    }
  }
  return out;
}

}  // namespace

bool Browser::Installed() {
  return ::access("/usr/bin/chromedriver", X_OK) == 0 && ::access("/usr/bin/chromium", X_OK) == 0;
}

Browser::Browser(int width, int height) {
  FreePort free;
  const std::uint16_t port = free.Port();
  free.Release();
  client_ = std::make_unique<httplib::Client>("127.0.0.1", port);
  client_->set_read_timeout(60, 0);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::execl("/usr/bin/chromedriver", "chromedriver", ("--port=" + std::to_string(port)).c_str(),
            "--log-level=OFF", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  WaitUntil([&] { return static_cast<bool>(client_->Get("/status")); }, 20s);
  const json capabilities = {
      {"capabilities",
       {{"alwaysMatch",
         {{"goog:chromeOptions",
           {{"binary", "/usr/bin/chromium"},
            {"args",
             {"--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
              "--hide-scrollbars",
              "--window-size=" + std::to_string(width) + "," + std::to_string(height)}}}}}}}}};
  const auto created = client_->Post("/session", capabilities.dump(), "application/json");
  if (created && created->status == 200) {
    session_ = json::parse(created->body)["value"]["sessionId"];
  }
}

Browser::~Browser() {
  if (!session_.empty()) {
    client_->Delete(("/session/" + session_).c_str());
  }
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

void Browser::Open(const std::string& url) {
  Command("/url", {{"url", url}});
}

json Browser::Run(const std::string& body) {
  return Command("/execute/sync", {{"script", body}, {"args", json::array()}});
}

bool Browser::Screenshot(const std::string& path) {
  const json shot = Get("/screenshot");
  if (!shot.is_string()) {
    return false;
  }
  const std::string png = Unbase64(shot.get<std::string>());
  std::ofstream(path, std::ios::binary) << png;
  return png.rfind("\x89PNG", 0) == 0;
}

json Browser::Command(const std::string& path, const json& body) {
  const auto result =
      client_->Post(("/session/" + session_ + path).c_str(), body.dump(), "application/json");
  return result ? json::parse(result->body, nullptr, false)["value"] : json();
}

json Browser::Get(const std::string& path) {
  const auto result = client_->Get(("/session/" + session_ + path).c_str());
  return result ? json::parse(result->body, nullptr, false)["value"] : json();
}

}  // namespace vidra::test
