// The standard-error writer over a pipe: what the loggers queue comes out whole, in order and
// complete, also when the reader stalls and when the writer ends without a flush.
#include "common/LogWriter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"

namespace vidra {
namespace {

using namespace std::chrono_literals;

class Pipe {
 public:
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    read_ = fds[0];
    write_ = fds[1];
  }
  ~Pipe() {
    ::close(read_);
    CloseWriteEnd();
  }
  int WriteEnd() const { return write_; }
  void CloseWriteEnd() {
    if (write_ >= 0) {
      ::close(write_);
      write_ = -1;
    }
  }
  // Everything until the write end is closed.
  std::string ReadAll() const {
    std::string all;
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::read(read_, buffer, sizeof buffer);
      if (n <= 0) {
        return all;
      }
      all.append(buffer, static_cast<std::size_t>(n));
    }
  }

 private:
  int read_ = -1;
  int write_ = -1;
};

std::string Record(int thread, int n) {
  return "thread " + std::to_string(thread) + " record " + std::to_string(n) + " " +
         std::string(static_cast<std::size_t>(n % 300), 'x');
}

TEST(LogWriter, RecordsOfManyThreadsComeOutWholeAndInOrder) {
  Pipe pipe;
  std::string out;
  std::thread reader([&] { out = pipe.ReadAll(); });
  {
    LogWriter writer(pipe.WriteEnd());
    constexpr int kThreads = 4;
    constexpr int kRecords = 5000;
    std::vector<std::thread> loggers;
    for (int t = 0; t < kThreads; ++t) {
      loggers.emplace_back([&writer, t] {
        for (int n = 0; n < kRecords; ++n) {
          writer.Append(Record(t, n) + "\n");
        }
      });
    }
    for (auto& logger : loggers) {
      logger.join();
    }
    writer.Flush();
  }
  pipe.CloseWriteEnd();
  reader.join();

  std::istringstream lines(out);
  std::map<int, int> next;
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    int t = -1;
    int n = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "thread %d record %d", &t, &n), 2) << line;
    ASSERT_EQ(n, next[t]) << "thread " << t << " out of order";
    ASSERT_EQ(line, Record(t, n)) << "a record was cut or mixed";
    ++next[t];
    ++count;
  }
  EXPECT_EQ(count, 4 * 5000);
}

TEST(LogWriter, AStalledReaderHoldsTheLoggersBackAndLosesNothing) {
  Pipe pipe;
  const std::string record(1000, 'r');
  constexpr std::size_t kRecords = 3 * LogWriter::kMaxPending / 1000;
  std::atomic<std::size_t> appended{0};
  std::string out;
  {
    std::optional<LogWriter> writer;
    writer.emplace(pipe.WriteEnd());
    std::thread logger([&] {
      for (std::size_t i = 0; i < kRecords; ++i) {
        writer->Append(record + "\n");
        ++appended;
      }
    });
    // Nobody reads: the pipe fills, the queue reaches its cap and the logger waits there.
    ASSERT_TRUE(test::WaitUntil([&] { return appended >= LogWriter::kMaxPending / 1001; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_LT(appended.load(), kRecords) << "the queue grew past its cap";
    std::thread reader([&] { out = pipe.ReadAll(); });
    logger.join();
    EXPECT_EQ(appended.load(), kRecords);
    // No flush: ending the writer writes what is queued.
    writer.reset();
    pipe.CloseWriteEnd();
    reader.join();
  }
  EXPECT_EQ(out.size(), kRecords * (record.size() + 1));
  EXPECT_EQ(out.find_first_not_of("r\n"), std::string::npos);
}

}  // namespace
}  // namespace vidra
