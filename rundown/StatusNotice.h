// One item state change to tell the NRCS about, queued by playout and roCtrl and sent by a
// notice sender as roElementStat.
#pragma once

#include <cstdint>

#include <string>

#include "common/FileTime.h"
#include "common/MosText.h"

namespace vidra {

struct StatusNotice {
  std::int32_t channel = 0;
  MosText roID;
  MosText storyID;
  MosText itemID;
  MosText objID;
  MosText status;  // the status word
  MosText time;    // when the state changed, as NoticeTime writes it
  MosText mosID;
  MosText ncsID;
  // The NRCS host (IPv4, network order) that sent the running order: its notices go there.
  // 0 when it is not known (a running order read back at start): any NRCS's sender takes it.
  std::uint32_t host = 0;
  // How often an NRCS of a main/buddy pair did not take it and it went to the other one.
  std::uint32_t handovers = 0;
};

// A notice's time: the UTC time as "2026-12-06T19:22:29".
std::string NoticeTime(FileTime utc);

}  // namespace vidra
