// A WebDriver session with headless Chromium through chromedriver, for tests that look at
// the status page as an operator would.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace httplib {
class Client;
}

namespace vidra::test {

class Browser {
 public:
  // Debian's chromium and chromium-driver are there.
  static bool Installed();

  // A session with a window of width x height pixels.
  explicit Browser(int width = 1280, int height = 1000);
  ~Browser();
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;

  bool Started() const { return !session_.empty(); }
  void Open(const std::string& url);
  // Runs a script's body in the page and gives back what it returns.
  nlohmann::json Run(const std::string& body);
  // The page as a PNG, written to path; false when none came.
  bool Screenshot(const std::string& path);
  nlohmann::json Command(const std::string& path, const nlohmann::json& body);
  nlohmann::json Get(const std::string& path);

 private:
  std::unique_ptr<httplib::Client> client_;
  pid_t pid_ = -1;
  std::string session_;
};

}  // namespace vidra::test
