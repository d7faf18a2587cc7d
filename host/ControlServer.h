// The control socket: a Unix-domain stream socket on which controllers send one request
// line at a time. It is served from the host thread's poll loop, so requests from any
// number of controllers are carried out one at a time; sockets never block that thread.
// A file lock beside the socket tells a live server from the leftovers of a dead one.
#pragma once

#include <poll.h>

#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vidra {

// Where the server listens and vidractl connects without --control: /run/vidra for root,
// else $XDG_RUNTIME_DIR/vidra, else /tmp/vidra-UID.
std::string DefaultControlPath();

class ControlServer {
 public:
  // A request line longer than this is answered with an error and dropped.
  static constexpr std::size_t kMaxLine = std::size_t{1} << 20;
  // A controller that does not read its answers is dropped past this much unsent text.
  static constexpr std::size_t kMaxPending = std::size_t{64} << 20;

  // What the server does with a request line, and what it answers to an oversized one.
  struct Handler {
    std::function<std::string(std::string_view line)> line;
    std::function<std::string()> oversized;
  };

  // Creates the folder if needed, replaces a leftover socket file and listens (mode 0660).
  // Null with error set when another server holds the path or the socket cannot be made.
  static std::unique_ptr<ControlServer> Open(const std::string& path, std::string& error);
  struct Token {};  // only Open makes one
  ControlServer(Token, std::string path, int listener, int lock);
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Appends the listener and every controller to the poll set.
  void Prepare(std::vector<pollfd>& entries) const;
  // Serves what poll reported on the entries that Prepare appended from first on.
  void Serve(const std::vector<pollfd>& entries, std::size_t first, const Handler& handler);
  std::size_t Controllers() const { return clients_.size(); }
  const std::string& Path() const { return path_; }

 private:
  struct Client {
    int fd = -1;
    std::string input;
    std::string output;
    bool skipping = false;  // dropping the rest of an oversized line
  };

  void Accept();
  // False when the controller has gone or must be dropped.
  bool Read(Client& client, const Handler& handler);
  bool Write(Client& client);

  std::string path_;
  int listener_ = -1;
  int lock_ = -1;
  std::list<Client> clients_;
};

}  // namespace vidra
