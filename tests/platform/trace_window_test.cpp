// Trace lines from a sender to a catcher in this process: texts arrive whole and
// in order, without their zero; lines without a catcher are dropped, and a catcher
// that appears later gets the next line. Each test has its own socket on POSIX (on
// Windows the catcher is the window titled "Snagview", and a sender in the same
// thread reaches its window procedure directly).
#include "platform/trace_window.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "test_names.h"

namespace {

constexpr int kWaitMs = 5000;  // a line sent is there long before; only a fault waits this out
constexpr int kNothingMs = 100;

class TraceWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string path =
        (std::filesystem::temp_directory_path() / platform_test::UniqueName("snagview-test-"))
            .string() +
        ".sock";
    platform_test::SetEnvironment("SNAGVIEW_SOCKET", path);
  }
};

TEST_F(TraceWindowTest, LinesArriveInOrderWithoutTheirZero) {
  platform::TraceCatcher catcher;
  ASSERT_TRUE(catcher.ok()) << catcher.error();
  EXPECT_TRUE(catcher.error().empty());
  platform::TraceWindow window;

  const std::vector<std::string> lines = {"Open Unit OK\n",
                                          "second line, with a \"quote\" and %s %d\n", "",
                                          "no line feed", std::string(511, 'x')};
  for (const std::string& text : lines) window.Send(text.c_str());
  for (const std::string& text : lines) {
    std::string received = "stale";
    ASSERT_TRUE(catcher.Receive(received, kWaitMs)) << "waiting for: " << text;
    EXPECT_EQ(received, text);
  }
  std::string extra;
  EXPECT_FALSE(catcher.Receive(extra, kNothingMs)) << "unexpected: " << extra;
}

TEST_F(TraceWindowTest, ReceiveWithNothingSentTimesOut) {
  platform::TraceCatcher catcher;
  ASSERT_TRUE(catcher.ok()) << catcher.error();
  std::string line = "untouched";
  EXPECT_FALSE(catcher.Receive(line, kNothingMs));
  EXPECT_FALSE(catcher.Receive(line, 0));
  EXPECT_EQ(line, "untouched");
}

TEST_F(TraceWindowTest, LinesWithoutACatcherAreDroppedUntilOneAppears) {
  platform::TraceWindow window;
  window.Send("lost 1\n");
  window.Send("lost 2\n");

  platform::TraceCatcher catcher;
  ASSERT_TRUE(catcher.ok()) << catcher.error();
  window.Send("kept 1\n");
  window.Send("kept 2\n");
  std::string line;
  ASSERT_TRUE(catcher.Receive(line, kWaitMs));
  EXPECT_EQ(line, "kept 1\n");
  ASSERT_TRUE(catcher.Receive(line, kWaitMs));
  EXPECT_EQ(line, "kept 2\n");
  EXPECT_FALSE(catcher.Receive(line, kNothingMs)) << "unexpected: " << line;
}

TEST_F(TraceWindowTest, SeveralSendersReachOneCatcher) {
  platform::TraceCatcher catcher;
  ASSERT_TRUE(catcher.ok()) << catcher.error();
  platform::TraceWindow loader, library;
  loader.Send("from the loader\n");
  library.Send("from the library\n");
  loader.Send("loader again\n");
  std::vector<std::string> received(3);
  for (std::string& line : received) ASSERT_TRUE(catcher.Receive(line, kWaitMs));
  EXPECT_EQ(received, (std::vector<std::string>{"from the loader\n", "from the library\n",
                                                "loader again\n"}));
}

// A burst far beyond what a catcher's queue holds arrives whole while the catcher
// keeps reading: a sender waits briefly for room rather than dropping lines.
TEST_F(TraceWindowTest, BurstFromAnotherThreadArrivesWhole) {
  platform::TraceCatcher catcher;
  ASSERT_TRUE(catcher.ok()) << catcher.error();
  constexpr int kLines = 300;
  std::thread sender([] {
    platform::TraceWindow window;
    for (int i = 0; i < kLines; ++i)
      window.Send(("burst line " + std::to_string(i) + "\n").c_str());
  });
  std::vector<std::string> received;
  std::string line;
  while (received.size() < kLines && catcher.Receive(line, kWaitMs)) received.push_back(line);
  sender.join();
  ASSERT_EQ(received.size(), static_cast<std::size_t>(kLines));
  for (int i = 0; i < kLines; ++i) EXPECT_EQ(received[i], "burst line " + std::to_string(i) + "\n");
}

// A catcher that stops reading costs a socket sender one bounded wait, after which
// lines are dropped until the catcher takes one again; nothing arrives out of order.
TEST_F(TraceWindowTest, SocketSenderOutlivesAStalledCatcher) {
#ifdef _WIN32
  GTEST_SKIP() << "a sender in the catcher's own thread reaches its window directly";
#else
  platform::TraceCatcher catcher;
  ASSERT_TRUE(catcher.ok()) << catcher.error();
  platform::TraceWindow window;
  constexpr int kLines = 40;  // well past the system's queue of datagrams
  for (int i = 0; i < kLines; ++i) window.Send(("stalled " + std::to_string(i) + "\n").c_str());
  std::vector<std::string> received;
  std::string line;
  while (catcher.Receive(line, kNothingMs)) received.push_back(line);
  ASSERT_FALSE(received.empty());
  for (std::size_t i = 0; i < received.size(); ++i)
    EXPECT_EQ(received[i], "stalled " + std::to_string(i) + "\n");
  window.Send("after the stall\n");
  ASSERT_TRUE(catcher.Receive(line, kWaitMs));
  EXPECT_EQ(line, "after the stall\n");
#endif
}

// A socket sender reconnects when its catcher is replaced. The window sender keeps
// the window it found for good, so this one is for the socket only.
TEST_F(TraceWindowTest, SocketSenderFindsARestartedCatcher) {
#ifdef _WIN32
  GTEST_SKIP() << "the trace window, once found, is kept for the life of the sender";
#else
  platform::TraceWindow window;
  {
    platform::TraceCatcher first;
    ASSERT_TRUE(first.ok()) << first.error();
    window.Send("to the first\n");
    std::string line;
    ASSERT_TRUE(first.Receive(line, kWaitMs));
    EXPECT_EQ(line, "to the first\n");
  }
  window.Send("nobody listens\n");  // notices the catcher has gone
  platform::TraceCatcher second;
  ASSERT_TRUE(second.ok()) << second.error();
  window.Send("to the second\n");
  std::string line;
  ASSERT_TRUE(second.Receive(line, kWaitMs));
  EXPECT_EQ(line, "to the second\n");
#endif
}

// A live catcher's socket is not taken over by a second one; once the first is
// gone its left-over path is reused.
TEST_F(TraceWindowTest, SocketCatcherKeepsItsEndpoint) {
#ifdef _WIN32
  GTEST_SKIP() << "windows of the same title may coexist";
#else
  {
    platform::TraceCatcher first;
    ASSERT_TRUE(first.ok()) << first.error();
    platform::TraceCatcher second;
    EXPECT_FALSE(second.ok());
    EXPECT_NE(second.error().find(platform::TraceEndpoint()), std::string::npos) << second.error();
    platform::TraceWindow window;
    window.Send("still the first's\n");
    std::string line;
    ASSERT_TRUE(first.Receive(line, kWaitMs));
    EXPECT_EQ(line, "still the first's\n");
  }
  platform::TraceCatcher third;
  EXPECT_TRUE(third.ok()) << third.error();
#endif
}

}  // namespace
