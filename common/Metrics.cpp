#include "common/Metrics.h"

#include <atomic>
#include <cmath>
#include <cstdio>

namespace vidra {

namespace {

struct Help {
  std::string_view name;
  std::string_view text;
};

constexpr Help kHelp[] = {
    {"vidra_messages_received_total", "MOS messages received, by type"},
    {"vidra_messages_sent_total", "MOS answers and notices sent, by type"},
    {"vidra_answers_total", "roAck answers, by status (OK or NACK)"},
    {"vidra_notices_sent_total", "roElementStat notices sent to the NRCS"},
    {"vidra_notices_acknowledged_total", "notices the NRCS acknowledged in time"},
    {"vidra_notices_timed_out_total", "notices with no acknowledgement in 5 s"},
    {"vidra_notices_lost_total", "notices whose connection closed before an acknowledgement"},
    {"vidra_playout_start_error_ms", "actual start of an item minus its target, in ms"},
    {"vidra_store_commit_seconds", "time to commit a batch of changes to the state database"},
    {"vidra_store_checkpoint_seconds",
     "time to copy the state database's write-ahead log into it, off the commits' path"},
    {"vidra_repeated_messages_total",
     "messages sent again with the same messageID and body, answered and not applied again"},
    {"vidra_resync_requests_total", "roReq and roReqAll sent to an NRCS to resynchronise"},
    {"vidra_connections_refused_total", "connections closed at accept, by reason"},
    {"vidra_notices_dropped_total", "status notices dropped from a full queue"},
};

// Histograms in seconds have their buckets from 0.1 ms to 100 ms; the others are in ms.
double BucketScale(std::string_view name) {
  constexpr std::string_view kSeconds = "_seconds";
  return name.size() >= kSeconds.size() && name.substr(name.size() - kSeconds.size()) == kSeconds
             ? 1e-4
             : 1.0;
}

void AppendHeader(std::string& out, std::string_view name, const char* type) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += MetricHelp(name);
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

// The shard a thread counts in, handed out in turn as threads first count.
std::size_t ThisThreadsShard(std::size_t shards) {
  static std::atomic<std::size_t> next{0};
  thread_local const std::size_t mine = next.fetch_add(1, std::memory_order_relaxed);
  return mine % shards;
}

}  // namespace

std::string_view MetricHelp(std::string_view name) {
  for (const Help& help : kHelp) {
    if (help.name == name) {
      return help.text;
    }
  }
  return name;
}

void AppendSample(std::string& out, std::string_view name, std::string_view labels, double value) {
  out += name;
  if (!labels.empty()) {
    out += '{';
    out += labels;
    out += '}';
  }
  char number[32];
  if (std::isinf(value)) {
    std::snprintf(number, sizeof number, " %s\n", value > 0 ? "+Inf" : "-Inf");
  } else {
    std::snprintf(number, sizeof number, " %.17g\n", value);
  }
  out += number;
}

void Metrics::Add(std::string_view name, std::string_view labels, std::uint64_t n) {
  Shard& shard = shards_[ThisThreadsShard(kShards)];
  std::lock_guard lock(shard.lock);
  auto family = shard.counters.find(name);
  if (family == shard.counters.end()) {
    family = shard.counters.try_emplace(std::string(name)).first;
  }
  // Looked up by view: a counter counted before allocates nothing under the lock.
  auto counter = family->second.find(labels);
  if (counter == family->second.end()) {
    counter = family->second.try_emplace(std::string(labels)).first;
  }
  counter->second += n;
}

void Metrics::Observe(std::string_view name, double value) {
  std::lock_guard lock(lock_);
  auto found = histograms_.find(name);
  if (found == histograms_.end()) {
    found = histograms_.emplace(std::string(name), Histogram()).first;
  }
  Histogram& h = found->second;
  const double scale = BucketScale(name);
  std::size_t bucket = 0;
  while (bucket < kBuckets.size() && value > kBuckets[bucket] * scale) {
    ++bucket;
  }
  if (bucket < kBuckets.size()) {
    ++h.counts[bucket];
  }
  ++h.count;
  h.sum += value;
}

std::uint64_t Metrics::Value(std::string_view name, std::string_view labels) const {
  std::uint64_t value = 0;
  for (const Shard& shard : shards_) {
    std::lock_guard lock(shard.lock);
    const auto family = shard.counters.find(name);
    if (family == shard.counters.end()) {
      continue;
    }
    const auto found = family->second.find(labels);
    value += found == family->second.end() ? 0 : found->second;
  }
  return value;
}

Metrics::Counters Metrics::Summed() const {
  Counters summed;
  for (const Shard& shard : shards_) {
    std::lock_guard lock(shard.lock);
    for (const auto& [name, family] : shard.counters) {
      Family& into = summed[name];
      for (const auto& [labels, value] : family) {
        into[labels] += value;
      }
    }
  }
  return summed;
}

std::string Metrics::Render() const {
  // Taken one shard at a time: a reader never holds two counting locks, nor one of them
  // with the histograms' lock.
  const Counters counters = Summed();
  std::lock_guard lock(lock_);
  std::string out;
  for (const auto& [name, family] : counters) {
    AppendHeader(out, name, "counter");
    for (const auto& [labels, value] : family) {
      AppendSample(out, name, labels, static_cast<double>(value));
    }
  }
  for (const auto& [name, h] : histograms_) {
    AppendHeader(out, name, "histogram");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
      cumulative += h.counts[i];
      char le[40];
      std::snprintf(le, sizeof le, "le=\"%g\"", kBuckets[i] * BucketScale(name));
      AppendSample(out, name + "_bucket", le, static_cast<double>(cumulative));
    }
    AppendSample(out, name + "_bucket", "le=\"+Inf\"", static_cast<double>(h.count));
    AppendSample(out, name + "_sum", {}, h.sum);
    AppendSample(out, name + "_count", {}, static_cast<double>(h.count));
  }
  return out;
}

}  // namespace vidra
