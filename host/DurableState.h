// Where the host keeps running orders between runs: the [State] settings, the SQLite store
// they name (or, without one, memory only), the running orders read back at InitMOSSrv and
// the answers kept for messages sent again. Built and torn down by the control object on the
// control thread; the store's own writer thread does the writing.
#pragma once

#include <cstddef>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "common/Clock.h"
#include "common/HResult.h"
#include "common/Metrics.h"
#include "common/Settings.h"
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
  // wrong, when the store cannot be used; nothing is kept then.
  HResult Start(const StateOptions& options, PlayoutManager& player,
                const std::shared_ptr<Clock>& clock, Metrics& metrics);
  // Closes the store once everything queued is written. Call when no thread uses it.
  void Stop();
  AnswerMemory* Answers() const { return answers_; }
  // The database, whether it is open, its size, the time of its last commit and how many
  // running orders came back at start; while the server starts or stops, only the database
  // set (open false); null when none is set.
  nlohmann::json View() const;

 private:
  std::unique_ptr<SqliteState> store_;
  std::unique_ptr<InMemoryAnswers> memory_;
  AnswerMemory* answers_ = nullptr;
  std::size_t restored_ = 0;
  std::string configured_;  // the database of the last start, kept while the store is closed
};

}  // namespace vidra
