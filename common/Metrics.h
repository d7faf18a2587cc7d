// Counters and histograms for the monitoring of a running server, read out in the Prometheus
// text format. Any thread may count; each call takes one short lock. Every connection thread
// counts each message it receives and answers, so the counters are kept in a few shards, each
// under its own lock, and a thread always counts in the same one: threads seldom wait for
// each other, and reading sums the shards. Label values come from the traffic, so callers
// pass only values of a known, small set.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace vidra {

class Metrics {
 public:
  // Adds n to the counter name{labels}; labels is the text between the braces, may be empty.
  void Add(std::string_view name, std::string_view labels = {}, std::uint64_t n = 1);
  // Counts value into the histogram name, whose buckets are kBuckets (in ms), or kBuckets
  // times 0.1 ms for a name that ends in "_seconds".
  void Observe(std::string_view name, double value);
  // The value of a counter, 0 when it was never counted.
  std::uint64_t Value(std::string_view name, std::string_view labels = {}) const;
  // Every counter and histogram, each with its help text and type lines.
  std::string Render() const;

  static constexpr std::array<double, 10> kBuckets{1, 2, 5, 10, 20, 40, 80, 160, 500, 1000};

 private:
  struct Histogram {
    std::array<std::uint64_t, kBuckets.size()> counts{};  // per bucket, not cumulative
    std::uint64_t count = 0;
    double sum = 0;
  };

  using Family = std::map<std::string, std::uint64_t, std::less<>>;  // by labels
  using Counters = std::map<std::string, Family, std::less<>>;       // by name
  struct alignas(64) Shard {
    mutable std::mutex lock;  // guards counters
    Counters counters;
  };
  static constexpr std::size_t kShards = 8;

  // Every counter, the shards summed.
  Counters Summed() const;

  std::array<Shard, kShards> shards_;
  mutable std::mutex lock_;  // guards histograms_
  std::map<std::string, Histogram, std::less<>> histograms_;
};

// Help texts of the metrics the server counts, by name.
std::string_view MetricHelp(std::string_view name);

// One line of the Prometheus text format: name{labels} value.
void AppendSample(std::string& out, std::string_view name, std::string_view labels, double value);

}  // namespace vidra
