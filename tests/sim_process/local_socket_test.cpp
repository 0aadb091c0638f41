// Local stream sockets, the simulator's transport: one listener per endpoint, a
// stale POSIX socket file taken over, and the outcomes of bounded sends and
// receives (whole, nothing in time, peer gone, cut short).
#include "platform/local_socket.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#endif

#include "test_endpoints.h"

namespace {

using platform::LocalSocket;
using platform::SocketResult;

class LocalSocketTest : public ::testing::Test {
 protected:
  void SetUp() override { endpoint_ = sim_test::SlotEndpoint(base_, 0); }
  void TearDown() override { sim_test::RemoveEndpointBase(base_); }

  LocalSocket Listen() {
    SocketResult result = SocketResult::kFailed;
    std::string error;
    LocalSocket listener = LocalSocket::Listen(endpoint_, &result, &error);
    EXPECT_EQ(result, SocketResult::kOk) << error;
    return listener;
  }

  // A connected pair: [0] the client's end, [1] the listener's.
  std::vector<LocalSocket> Pair(LocalSocket& listener) {
    std::vector<LocalSocket> ends;
    SocketResult result = SocketResult::kFailed;
    ends.push_back(LocalSocket::Connect(endpoint_, 2000, &result));
    EXPECT_EQ(result, SocketResult::kOk);
    ends.push_back(listener.Accept(2000, &result));
    EXPECT_EQ(result, SocketResult::kOk);
    return ends;
  }

  std::string base_ = sim_test::FreshEndpointBase();
  std::string endpoint_;
};

TEST_F(LocalSocketTest, OneListenerPerEndpointAndTheEndpointIsFreeAgainAfterIt) {
  LocalSocket first = Listen();
  SocketResult result = SocketResult::kOk;
  std::string error;
  LocalSocket second = LocalSocket::Listen(endpoint_, &result, &error);
  EXPECT_EQ(result, SocketResult::kInUse);
  EXPECT_FALSE(second.valid());
  first.Close();
  LocalSocket third = Listen();
  EXPECT_TRUE(third.valid());
}

TEST_F(LocalSocketTest, ConnectingWhereNobodyListensIsClosedAtOnce) {
  SocketResult result = SocketResult::kOk;
  LocalSocket socket = LocalSocket::Connect(endpoint_, 2000, &result);
  EXPECT_EQ(result, SocketResult::kClosed);
  EXPECT_FALSE(socket.valid());
  LocalSocket listener = Listen();
  listener.Close();
  socket = LocalSocket::Connect(endpoint_, 2000, &result);
  EXPECT_EQ(result, SocketResult::kClosed);
}

TEST_F(LocalSocketTest, AcceptWithNobodyComingTimesOut) {
  LocalSocket listener = Listen();
  SocketResult result = SocketResult::kOk;
  LocalSocket none = listener.Accept(50, &result);
  EXPECT_EQ(result, SocketResult::kTimeout);
  EXPECT_FALSE(none.valid());
}

TEST_F(LocalSocketTest, ReceiveOutcomes) {
  LocalSocket listener = Listen();
  std::vector<LocalSocket> ends = Pair(listener);
  std::uint8_t buffer[5] = {};

  // Nothing sent: a timeout, and nothing lost for the next receive.
  EXPECT_EQ(ends[1].ReceiveExact(buffer, 5, 50), SocketResult::kTimeout);
  const std::uint8_t whole[5] = {1, 2, 3, 4, 5};
  ASSERT_EQ(ends[0].SendAll(whole, 5, 2000), SocketResult::kOk);
  ASSERT_EQ(ends[1].ReceiveExact(buffer, 5, 2000), SocketResult::kOk);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 5),
            std::vector<std::uint8_t>(whole, whole + 5));

  // Three of five bytes and then silence: cut short.
  ASSERT_EQ(ends[0].SendAll(whole, 3, 2000), SocketResult::kOk);
  EXPECT_EQ(ends[1].ReceiveExact(buffer, 5, 100), SocketResult::kFailed);

  // The peer goes away between messages: closed.
  ends[0].Close();
  EXPECT_EQ(ends[1].ReceiveExact(buffer, 5, 2000), SocketResult::kClosed);
}

TEST_F(LocalSocketTest, APeerThatGoesAwayMidMessageIsAFailure) {
  LocalSocket listener = Listen();
  std::vector<LocalSocket> ends = Pair(listener);
  const std::uint8_t part[2] = {9, 9};
  ASSERT_EQ(ends[0].SendAll(part, 2, 2000), SocketResult::kOk);
  ends[0].Close();
  std::uint8_t buffer[5];
  EXPECT_EQ(ends[1].ReceiveExact(buffer, 5, 2000), SocketResult::kFailed);
}

TEST_F(LocalSocketTest, LargeMessagesArriveWhole) {
  LocalSocket listener = Listen();
  std::vector<LocalSocket> ends = Pair(listener);
  std::vector<std::uint8_t> sent(300000);
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i * 7);
  std::vector<std::uint8_t> received(sent.size());
  // Larger than the socket buffers: the receiver must drain while the sender sends.
  SocketResult receiveResult = SocketResult::kFailed;
  std::thread receiver(
      [&] { receiveResult = ends[1].ReceiveExact(received.data(), received.size(), 5000); });
  EXPECT_EQ(ends[0].SendAll(sent.data(), sent.size(), 5000), SocketResult::kOk);
  receiver.join();
  EXPECT_EQ(receiveResult, SocketResult::kOk);
  EXPECT_EQ(received, sent);
}

TEST_F(LocalSocketTest, ASocketFileLeftByADeadListenerIsTakenOver) {
#ifdef _WIN32
  GTEST_SKIP() << "a port has no file to leave behind";
#else
  // A listener that died: its socket file is there, nothing listens, no lock held.
  std::filesystem::create_directories(base_);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, endpoint_.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  close(fd);
  ASSERT_TRUE(std::filesystem::exists(endpoint_));

  LocalSocket listener = Listen();
  ASSERT_TRUE(listener.valid());
  std::vector<LocalSocket> ends = Pair(listener);
  EXPECT_TRUE(ends[1].valid());
  listener.Close();
  EXPECT_FALSE(std::filesystem::exists(endpoint_)) << "the socket file outlived its listener";
#endif
}

TEST_F(LocalSocketTest, AFileThatIsNoSocketIsLeftAlone) {
#ifdef _WIN32
  GTEST_SKIP() << "a port has no file";
#else
  std::filesystem::create_directories(base_);
  std::ofstream(endpoint_) << "somebody's data";
  SocketResult result = SocketResult::kOk;
  std::string error;
  LocalSocket listener = LocalSocket::Listen(endpoint_, &result, &error);
  EXPECT_EQ(result, SocketResult::kFailed);
  EXPECT_NE(error.find("not a socket"), std::string::npos) << error;
  std::ifstream kept(endpoint_);
  std::string text;
  std::getline(kept, text);
  EXPECT_EQ(text, "somebody's data");
#endif
}

TEST(NumberedEndpointTest, SlotsFollowTheBase) {
#ifdef _WIN32
  EXPECT_EQ(platform::NumberedEndpoint("47810", "unit", 0), "47810");
  EXPECT_EQ(platform::NumberedEndpoint("47810", "unit", 3), "47813");
  EXPECT_EQ(platform::NumberedEndpoint("65535", "unit", 1), "");
  EXPECT_EQ(platform::NumberedEndpoint("port", "unit", 0), "");
  EXPECT_EQ(platform::DefaultEndpointBase("tarvex-sim", 47810), "47810");
#else
  EXPECT_EQ(platform::NumberedEndpoint("/run/x", "unit", 0), "/run/x/unit0.sock");
  EXPECT_EQ(platform::NumberedEndpoint("/run/x", "unit", 12), "/run/x/unit12.sock");
  EXPECT_EQ(platform::NumberedEndpoint("", "unit", 0), "");
#endif
  EXPECT_EQ(platform::NumberedEndpoint("1000", "unit", -1), "");
}

}  // namespace
