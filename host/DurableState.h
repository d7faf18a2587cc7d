// Where the host keeps running orders between runs: the [State] settings, the SQLite store
// they name (or, without one, memory only), the running orders read back at InitMOSSrv and
// the answers kept for messages sent again. Built and torn down by the control object on the
// control thread; the store's own writer thread does the writing.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "common/Clock.h"
#include "common/HResult.h"
#include "common/Metrics.h"
#include "common/Settings.h"
#include "host/ChannelFollower.h"
#include "pair/PairLink.h"
#include "pair/PairSettings.h"
#include "playout/PlayoutManager.h"
#include "rundown/AnswerMemory.h"
#include "state/SqliteState.h"

namespace vidra {

// [State] Database (none: memory only) and Sync (normal or full).
struct StateOptions {
  std::string database;
  bool fullSync = false;
};

// Absent values keep their defaults; a wrong one gives E_INVALIDARG and a text naming the
// file, the key and the value.
HResult ReadStateOptions(const SettingsSource& source, StateOptions& out, std::string& error);

class DurableState {
 public:
  // Opens the store and puts its running orders back into the player's stores, which from
  // then on save every change in it. E_FAIL, with one log line naming the file and what is
  // wrong, when the store cannot be used; nothing is kept then. With a pair set up, every
  // change also goes to (main) or comes from (backup) the peer; a backup's channels hold
  // the main's running orders as the main's copy and changes bring them, and play what the
  // main plays. promoted runs once this server has become main and its channels hold the
  // running orders.
  HResult Start(const StateOptions& options, const PairSettings& pair, PlayoutManager& player,
                const std::shared_ptr<Clock>& clock, Metrics& metrics,
                std::function<void()> promoted = {});
  // Closes the store once everything queued is written. Call when no thread uses it.
  void Stop();
  AnswerMemory* Answers() const { return answers_; }
  // The pair's link, null without a pair.
  PairLink* Pair() const { return link_.get(); }
  // The database, whether it is open, its size, the time of its last commit and how many
  // running orders came back at start; while the server starts or stops, only the database
  // set (open false); null when none is set.
  nlohmann::json View() const;

 private:
  HResult StartPair(const PairSettings& pair, PlayoutManager& player,
                    const std::shared_ptr<Clock>& clock, Metrics& metrics,
                    std::function<void()> promoted);
  // A backup's database writer gives way to the thread that acknowledges the main's changes
  // (on a busy machine it took that thread's processor); a main's commits are waited for.
  void WriterBehind(bool backup);

  std::unique_ptr<SqliteState> store_;
  std::unique_ptr<InMemoryAnswers> memory_;
  // Declared after the store it writes to, and the link after the state it carries, so
  // each goes (its threads joined) before what it uses.
  std::unique_ptr<ReplicatedState> replicated_;
  std::unique_ptr<ChannelFollower> follower_;
  std::unique_ptr<PairLink> link_;
  AnswerMemory* answers_ = nullptr;
  std::atomic<std::size_t> restored_{0};  // also set by a promotion, on the link's thread
  std::string configured_;  // the database of the last start, kept while the store is closed
};

}  // namespace vidra
