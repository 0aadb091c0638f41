// tarvex-sim's server in process, reached through the real virtual D2XX library
// (the built libftd2xx.so / FTD2XX.dll, bound as the loader binds it): sessions,
// EEPROM strings, the enquiry round trip, one open handle at a time, faults and
// plugging by ctl, a client or server that goes away, the wire's framing, the
// ctl command parser, and the unit's part of the shared block.
#include "sim/sim_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/d2xx.h"
#include "sim/virtual_d2xx/sim_link.h"
#include "test_endpoints.h"

namespace {

namespace d2xx = platform::d2xx;
using platform::SocketResult;

constexpr d2xx::Status kInvalidParameter = 6;

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// One unit served in this process, its time a virtual clock the test moves.
struct RunningUnit {
  RunningUnit(sim::UnitOptions options, const std::uint8_t* block)
      : unit(std::move(options), clock), server(unit, Settings(block)) {}
  static sim::ServerSettings Settings(const std::uint8_t* block) {
    sim::ServerSettings settings;
    settings.level = 3;
    settings.block = block;
    return settings;
  }
  std::string Ctl(const std::string& line) {
    std::string answer;
    const std::uint32_t status = server.Control(Words(line), &answer);
    EXPECT_EQ(status, 0u) << line << ": " << answer;
    return answer;
  }
  // The value of one "key: value" line of the status text.
  std::string Status(const std::string& key) {
    const std::string text = server.StatusText();
    const std::string wanted = key + ": ";
    const std::size_t at = text.find(wanted);
    if (at == std::string::npos || (at > 0 && text[at - 1] != '\n')) return "<missing>";
    return text.substr(at + wanted.size(), text.find('\n', at) - at - wanted.size());
  }
  // Waits (in real time: the server's threads decide) until status shows `value`.
  bool AwaitStatus(const std::string& key, const std::string& value) {
    for (int i = 0; i < 500; ++i) {
      if (Status(key) == value) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  platform::VirtualClock clock;
  sim::UsbUnit unit;
  sim::SimServer server;
};

class SimServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sim_test::SetEnvironment("FLASHWRIGHT_D2XX", TEST_FTD2XX);
    bound_ = d2xx::Bind(&api_, &bindError_);
  }

  void SetUp() override {
    ASSERT_TRUE(bound_) << bindError_;
    base_ = sim_test::FreshEndpointBase();
    sim_test::SetEnvironment("TARVEX_SIM_ENDPOINT", base_);
  }

  void TearDown() override {
    units_.clear();
    sim_test::RemoveEndpointBase(base_);
  }

  RunningUnit& Start(int slot, sim::UnitOptions options = {}, const std::uint8_t* block = nullptr) {
    units_.push_back(std::make_unique<RunningUnit>(std::move(options), block));
    std::string error;
    EXPECT_EQ(units_.back()->server.Start(sim_test::SlotEndpoint(base_, slot), &error),
              SocketResult::kOk)
        << error;
    return *units_.back();
  }

  d2xx::Handle Open(int index = 0) {
    d2xx::Handle handle = nullptr;
    EXPECT_EQ(api_.Open(index, &handle), d2xx::kOk);
    EXPECT_NE(handle, nullptr);
    return handle;
  }

  // Collects `count` bytes from the unit, moving its clock on while none wait.
  std::vector<std::uint8_t> Receive(d2xx::Handle handle, RunningUnit& running, std::size_t count) {
    std::vector<std::uint8_t> received;
    for (int round = 0; round < 2000 && received.size() < count; ++round) {
      d2xx::Dword waiting = 0;
      EXPECT_EQ(api_.GetQueueStatus(handle, &waiting), d2xx::kOk);
      if (waiting == 0) {
        running.clock.Advance(1000);
        continue;
      }
      std::vector<std::uint8_t> buffer(waiting);
      d2xx::Dword read = 0;
      EXPECT_EQ(api_.Read(handle, buffer.data(), waiting, &read), d2xx::kOk);
      received.insert(received.end(), buffer.begin(), buffer.begin() + read);
    }
    return received;
  }

  static d2xx::Api api_;
  static bool bound_;
  static std::string bindError_;
  std::string base_;
  std::vector<std::unique_ptr<RunningUnit>> units_;
};

d2xx::Api SimServerTest::api_{};
bool SimServerTest::bound_ = false;
std::string SimServerTest::bindError_;

// --- sessions -------------------------------------------------------------------

TEST_F(SimServerTest, EepromTextsAndIdsComeThroughBoundedToTheCallersBuffers) {
  sim::UnitOptions options;
  options.serial = "SRV12345678901";           // 14 characters: fits the 16-byte buffer
  options.description = std::string(70, 'd');  // longer than its 64-byte buffer
  options.manufacturer = "Maker";
  options.manufacturerId = "MK";
  options.vendorId = 0x1234;
  options.productId = 0xDE50;
  Start(0, options);
  d2xx::Handle handle = Open();

  char manufacturer[32], manufacturerId[16], description[64 + 8], serial[16];
  std::memset(description, 'x', sizeof description);
  d2xx::ProgramData data;
  data.Manufacturer = manufacturer;
  data.ManufacturerId = manufacturerId;
  data.Description = description;
  data.SerialNumber = serial;
  ASSERT_EQ(api_.EeRead(handle, &data), d2xx::kOk);
  EXPECT_EQ(data.VendorId, 0x1234);
  EXPECT_EQ(data.ProductId, 0xDE50);
  EXPECT_STREQ(manufacturer, "Maker");
  EXPECT_STREQ(manufacturerId, "MK");
  EXPECT_STREQ(serial, "SRV12345678901");
  EXPECT_EQ(std::string(description), std::string(63, 'd'));
  EXPECT_EQ(description[64], 'x') << "written past the 64-byte description buffer";
  EXPECT_EQ(api_.SetLatencyTimer(handle, 1), d2xx::kOk);
  EXPECT_EQ(api_.Close(handle), d2xx::kOk);
}

TEST_F(SimServerTest, EnquiryBurstIsAnsweredWithTheUnitsValuesInOrder) {
  RunningUnit& running = Start(0);
  d2xx::Handle handle = Open();
  // FillerRecord, then ExtendedCommand (0xE003) 100, 109, 102, 111, 101.
  const std::uint32_t enquiries[] = {100, 109, 102, 111, 101};
  std::vector<std::uint8_t> burst(6, 0xFF);
  for (std::uint32_t number : enquiries) {
    const std::uint8_t record[6] = {0x03, 0xE0, static_cast<std::uint8_t>(number), 0, 0, 0};
    burst.insert(burst.end(), record, record + 6);
  }
  d2xx::Dword written = 0;
  ASSERT_EQ(api_.Write(handle, burst.data(), static_cast<d2xx::Dword>(burst.size()), &written),
            d2xx::kOk);
  EXPECT_EQ(written, burst.size());

  const std::vector<std::uint8_t> replies = Receive(handle, running, 30);
  ASSERT_EQ(replies.size(), 30u);
  // What the unit itself reports (the version word of 101 it does not show).
  const sim::UsbUnit::Report report = running.unit.Status();
  const std::uint32_t expected[] = {1, report.checksum, static_cast<std::uint32_t>(report.status),
                                    static_cast<std::uint32_t>(report.kernel), 0};
  for (std::size_t i = 0; i < 5; ++i) {
    const std::uint8_t* record = replies.data() + 6 * i;
    const unsigned code = record[0] | (record[1] << 8);
    const std::uint32_t value = std::uint32_t{record[2]} | (std::uint32_t{record[3]} << 8) |
                                (std::uint32_t{record[4]} << 16) | (std::uint32_t{record[5]} << 24);
    EXPECT_EQ(code, 0xE000u | (enquiries[i] << 2)) << "reply " << i;
    if (enquiries[i] != 101) {
      EXPECT_EQ(value, expected[i]) << "enquiry " << enquiries[i];
    }
  }
  d2xx::Dword rx = 99, tx = 99, events = 99;
  EXPECT_EQ(api_.GetStatus(handle, &rx, &tx, &events), d2xx::kOk);
  EXPECT_EQ(rx, 0u);
  EXPECT_EQ(api_.ResetDevice(handle), d2xx::kOk);
  EXPECT_EQ(api_.Close(handle), d2xx::kOk);
}

TEST_F(SimServerTest, OneHandleAtATimeAndClosedHandlesAreRefused) {
  RunningUnit& running = Start(0);
  d2xx::Handle first = Open();
  EXPECT_EQ(running.Status("open"), "yes");
  d2xx::Handle second = reinterpret_cast<d2xx::Handle>(0x1234);
  EXPECT_EQ(api_.Open(0, &second), d2xx::kDeviceNotOpened);
  EXPECT_EQ(second, nullptr);

  EXPECT_EQ(api_.Close(first), d2xx::kOk);
  EXPECT_EQ(running.Status("open"), "no");  // closed before the close was answered
  d2xx::Dword waiting = 0;
  EXPECT_EQ(api_.GetQueueStatus(first, &waiting), d2xx::kInvalidHandle);
  EXPECT_EQ(api_.Close(first), d2xx::kInvalidHandle);

  d2xx::Handle again = Open();
  EXPECT_EQ(api_.Close(again), d2xx::kOk);
}

TEST_F(SimServerTest, BadHandlesAndPointersAreRefusedWithoutReachingTheUnit) {
  Start(0);
  d2xx::Handle handle = Open();
  int notAHandle = 0;
  std::uint8_t buffer[8] = {};
  d2xx::Dword count = 0;
  EXPECT_EQ(api_.Read(nullptr, buffer, 8, &count), d2xx::kInvalidHandle);
  EXPECT_EQ(api_.Write(&notAHandle, buffer, 8, &count), d2xx::kInvalidHandle);
  EXPECT_EQ(api_.ResetDevice(&notAHandle), d2xx::kInvalidHandle);
  EXPECT_EQ(api_.Read(handle, buffer, 8, nullptr), kInvalidParameter);
  EXPECT_EQ(api_.Write(handle, nullptr, 8, &count), kInvalidParameter);
  EXPECT_EQ(api_.GetQueueStatus(handle, nullptr), kInvalidParameter);
  EXPECT_EQ(api_.GetStatus(handle, &count, nullptr, &count), kInvalidParameter);
  EXPECT_EQ(api_.EeRead(handle, nullptr), kInvalidParameter);
  EXPECT_EQ(api_.Open(0, nullptr), kInvalidParameter);
  EXPECT_EQ(api_.Close(handle), d2xx::kOk);
}

// The serial number of the unit at device index `index`, opened and closed again.
std::string SerialAt(const d2xx::Api& api, int index) {
  d2xx::Handle handle = nullptr;
  if (api.Open(index, &handle) != d2xx::kOk) return "<not opened>";
  char serial[16] = {};
  d2xx::ProgramData data;
  data.SerialNumber = serial;  // the other texts are not asked for
  const bool read = api.EeRead(handle, &data) == d2xx::kOk;
  api.Close(handle);
  return read ? serial : "<no eeprom>";
}

TEST_F(SimServerTest, IndexesNumberTheListeningUnitsInSlotOrder) {
  sim::UnitOptions first, second;
  first.serial = "SLOT1";
  second.serial = "SLOT3";
  Start(1, first);
  Start(3, second);
  EXPECT_EQ(SerialAt(api_, 0), "SLOT1");
  EXPECT_EQ(SerialAt(api_, 1), "SLOT3");
  d2xx::Handle handle = nullptr;
  EXPECT_EQ(api_.Open(2, &handle), d2xx::kDeviceNotFound);
  EXPECT_EQ(api_.Open(-1, &handle), d2xx::kDeviceNotFound);

  // A unit held by another client keeps its index: it is attached, only busy.
  handle = Open(0);
  d2xx::Handle other = nullptr;
  EXPECT_EQ(api_.Open(0, &other), d2xx::kDeviceNotOpened);
  EXPECT_EQ(SerialAt(api_, 1), "SLOT3");
  EXPECT_EQ(api_.Close(handle), d2xx::kOk);
}

TEST_F(SimServerTest, AnUnpluggedUnitLeavesTheNumberingAndTheUnitsAboveMoveDown) {
  sim::UnitOptions first, second;
  first.serial = "SLOT0";
  second.serial = "SLOT2";
  RunningUnit& low = Start(0, first);
  Start(2, second);
  low.Ctl("unplug");
  EXPECT_EQ(SerialAt(api_, 0), "SLOT2");
  d2xx::Handle handle = nullptr;
  EXPECT_EQ(api_.Open(1, &handle), d2xx::kDeviceNotFound);
  low.Ctl("replug");
  EXPECT_EQ(SerialAt(api_, 0), "SLOT0");
  EXPECT_EQ(SerialAt(api_, 1), "SLOT2");
}

TEST_F(SimServerTest, AnEndpointThatCannotBeReachedIsNoDeviceSoTheScanEnds) {
  // The loader scans indexes until "not found": any other answer would keep it going.
#ifdef _WIN32
  const char* unusable[] = {"not-a-port", "70000"};
#else
  const std::string tooLong = "/tmp/" + std::string(200, 'x');
  const char* unusable[] = {tooLong.c_str(), "/nonexistent-folder/deeper"};
#endif
  for (const char* base : unusable) {
    sim_test::SetEnvironment("TARVEX_SIM_ENDPOINT", base);
    d2xx::Handle handle = nullptr;
    EXPECT_EQ(api_.Open(0, &handle), d2xx::kDeviceNotFound) << base;
  }
}

TEST_F(SimServerTest, ASecondServerOnATakenSlotIsTurnedAway) {
  Start(0);
  platform::VirtualClock clock;
  sim::UsbUnit unit({}, clock);
  sim::SimServer server(unit, {});
  std::string error;
  EXPECT_EQ(server.Start(sim_test::SlotEndpoint(base_, 0), &error), SocketResult::kInUse);
}

TEST_F(SimServerTest, AClientThatGoesAwayLeavesTheUnitClosed) {
  RunningUnit& running = Start(0);
  sim::link::Client client;
  ASSERT_EQ(client.Connect(0), SocketResult::kOk);
  std::uint32_t status = 99;
  ASSERT_TRUE(client.Exchange(sim::link::Op::kOpen, nullptr, 0, &status, nullptr));
  EXPECT_EQ(status, d2xx::kOk);
  EXPECT_EQ(running.Status("open"), "yes");
  client.Close();  // no close call: the process died
  EXPECT_TRUE(running.AwaitStatus("open", "no"));
  d2xx::Handle handle = Open();
  EXPECT_EQ(api_.Close(handle), d2xx::kOk);
}

TEST_F(SimServerTest, ASimulatorThatStopsFailsTheOpenHandlesCalls) {
  RunningUnit& running = Start(0);
  d2xx::Handle handle = Open();
  running.server.Stop();
  d2xx::Dword waiting = 0;
  std::uint8_t byte = 0;
  EXPECT_EQ(api_.GetQueueStatus(handle, &waiting), d2xx::kIoError);
  EXPECT_EQ(api_.Write(handle, &byte, 1, &waiting), d2xx::kIoError);  // stays failed
  EXPECT_EQ(api_.Close(handle), d2xx::kIoError);  // the handle goes all the same
  EXPECT_EQ(api_.Close(handle), d2xx::kInvalidHandle);
  d2xx::Handle none = nullptr;
  EXPECT_EQ(api_.Open(0, &none), d2xx::kDeviceNotFound);
}

// --- faults and plugging, as ctl sets them ---------------------------------------

struct FaultCase {
  const char* call;
  std::function<d2xx::Status(const d2xx::Api&, d2xx::Handle)> invoke;
};

TEST_F(SimServerTest, EachCallFailsOnceWithTheStatusCtlGives) {
  const FaultCase cases[] = {
      {"read",
       [](const d2xx::Api& api, d2xx::Handle h) {
         std::uint8_t buffer[4];
         d2xx::Dword read = 0;
         return api.Read(h, buffer, sizeof buffer, &read);
       }},
      {"write",
       [](const d2xx::Api& api, d2xx::Handle h) {
         std::uint8_t bytes[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
         d2xx::Dword written = 0;
         return api.Write(h, bytes, sizeof bytes, &written);
       }},
      {"reset", [](const d2xx::Api& api, d2xx::Handle h) { return api.ResetDevice(h); }},
      {"queue-status",
       [](const d2xx::Api& api, d2xx::Handle h) {
         d2xx::Dword waiting = 0;
         return api.GetQueueStatus(h, &waiting);
       }},
      {"get-status",
       [](const d2xx::Api& api, d2xx::Handle h) {
         d2xx::Dword a = 0, b = 0, c = 0;
         return api.GetStatus(h, &a, &b, &c);
       }},
      {"latency", [](const d2xx::Api& api, d2xx::Handle h) { return api.SetLatencyTimer(h, 1); }},
      {"ee-read",
       [](const d2xx::Api& api, d2xx::Handle h) {
         char texts[4][64] = {};
         d2xx::ProgramData data;
         data.Manufacturer = texts[0];
         data.ManufacturerId = texts[1];
         data.Description = texts[2];
         data.SerialNumber = texts[3];
         return api.EeRead(h, &data);
       }},
  };
  RunningUnit& running = Start(0);
  d2xx::Handle handle = Open();
  for (const FaultCase& test : cases) {
    SCOPED_TRACE(test.call);
    running.Ctl(std::string("fail ") + test.call + " --nth 2 --status 0x1F");
    EXPECT_EQ(test.invoke(api_, handle), d2xx::kOk);
    EXPECT_EQ(test.invoke(api_, handle), 0x1Fu);
    EXPECT_EQ(test.invoke(api_, handle), d2xx::kOk);
  }
  running.Ctl("fail read --persistent");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(cases[0].invoke(api_, handle), d2xx::kIoError);
  running.Ctl("clear-faults");
  EXPECT_EQ(cases[0].invoke(api_, handle), d2xx::kOk);
  EXPECT_EQ(api_.Close(handle), d2xx::kOk);
}

TEST_F(SimServerTest, FailedOpenAndCloseLeaveTheUnitUsable) {
  RunningUnit& running = Start(0);
  running.Ctl("fail open --status 3");
  d2xx::Handle handle = nullptr;
  EXPECT_EQ(api_.Open(0, &handle), d2xx::kDeviceNotOpened);
  EXPECT_EQ(handle, nullptr);
  handle = Open();

  running.Ctl("fail close --status 4");
  EXPECT_EQ(api_.Close(handle), d2xx::kIoError);
  // The client let the handle go; the server closes the unit behind it.
  EXPECT_TRUE(running.AwaitStatus("open", "no"));
  handle = Open();

  // Every close failing: letting go of a dead client's handle is no library call,
  // so the fault neither keeps the unit open nor counts it.
  running.Ctl("fail close --persistent");
  EXPECT_EQ(api_.Close(handle), d2xx::kIoError);
  EXPECT_TRUE(running.AwaitStatus("open", "no"));
  running.Ctl("clear-faults");
  running.Ctl("fail close");
  running.Ctl("fail close --nth 2");
  handle = Open();
  EXPECT_EQ(api_.Close(handle), d2xx::kIoError);
  EXPECT_TRUE(running.AwaitStatus("open", "no"));
  handle = Open();
  EXPECT_EQ(api_.Close(handle), d2xx::kIoError) << "the release between was taken for a close";
  EXPECT_TRUE(running.AwaitStatus("open", "no"));
  handle = Open();
  EXPECT_EQ(api_.Close(handle), d2xx::kOk);
}

TEST_F(SimServerTest, ShortWritesReportWhatWasTaken) {
  RunningUnit& running = Start(0);
  d2xx::Handle handle = Open();
  EXPECT_EQ(running.Ctl("short-writes 4"), "writes take at most 4 bytes");
  std::uint8_t bytes[12] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  d2xx::Dword written = 0;
  EXPECT_EQ(api_.Write(handle, bytes, sizeof bytes, &written), d2xx::kOk);
  EXPECT_EQ(written, 4u);
  running.Ctl("short-writes 0");
  EXPECT_EQ(api_.Write(handle, bytes, sizeof bytes, &written), d2xx::kOk);
  EXPECT_EQ(written, 12u);
  EXPECT_EQ(api_.Close(handle), d2xx::kOk);
}

TEST_F(SimServerTest, AnUnpluggedUnitIsNotFoundUntilReplugged) {
  RunningUnit& running = Start(0);
  d2xx::Handle handle = Open();
  EXPECT_EQ(running.Ctl("unplug"), "unplugged");
  EXPECT_EQ(running.Status("plugged"), "no");
  d2xx::Dword waiting = 0;
  EXPECT_NE(api_.GetQueueStatus(handle, &waiting), d2xx::kOk);
  api_.Close(handle);
  d2xx::Handle none = nullptr;
  EXPECT_EQ(api_.Open(0, &none), d2xx::kDeviceNotFound);
  running.Ctl("replug");
  handle = Open();
  EXPECT_EQ(api_.Close(handle), d2xx::kOk);

  // A timed unplug ends by itself once the unit's clock has moved on.
  running.Ctl("unplug 500");
  EXPECT_EQ(api_.Open(0, &none), d2xx::kDeviceNotFound);
  running.clock.Advance(500 * 1000);
  handle = Open();
  EXPECT_EQ(api_.Close(handle), d2xx::kOk);
}

TEST_F(SimServerTest, QuitIsReported) {
  RunningUnit& running = Start(0);
  EXPECT_FALSE(running.server.quitRequested());
  EXPECT_EQ(running.Ctl("quit"), "quitting");
  EXPECT_TRUE(running.server.quitRequested());
}

// --- the wire ----------------------------------------------------------------------

TEST_F(SimServerTest, StatusAndControlGoOverTheSlotSocket) {
  sim::UnitOptions options;
  options.serial = "WIRE1";
  RunningUnit& running = Start(1, options);

  sim::link::Client status;
  ASSERT_EQ(status.Connect(1), SocketResult::kOk);
  std::uint32_t code = 99;
  std::vector<std::uint8_t> answer;
  ASSERT_TRUE(status.Exchange(sim::link::Op::kStatus, nullptr, 0, &code, &answer));
  EXPECT_EQ(code, 0u);
  const std::string text(answer.begin(), answer.end());
  EXPECT_NE(text.find("\nserial: WIRE1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nlevel: 3\n"), std::string::npos) << text;

  const std::vector<std::pair<std::string, std::uint32_t>> commands = {
      {std::string("unplug\0", 7), 0},
      {std::string("fail\0frobnicate\0", 16), sim::link::kUsageError}};
  for (const auto& [words, expected] : commands) {
    sim::link::Client control;
    ASSERT_EQ(control.Connect(1), SocketResult::kOk);
    ASSERT_TRUE(control.Exchange(sim::link::Op::kControl,
                                 reinterpret_cast<const std::uint8_t*>(words.data()),
                                 static_cast<std::uint32_t>(words.size()), &code, &answer));
    EXPECT_EQ(code, expected);
  }
  EXPECT_EQ(running.Status("plugged"), "no");
}

TEST_F(SimServerTest, RequestsNoClientSendsEndTheConnection) {
  Start(0);
  struct Bad {
    const char* what;
    std::vector<std::uint8_t> bytes;
  };
  const Bad cases[] = {
      {"unknown first op", {0x55, 0, 0, 0, 0}},
      {"a call before open", {3, 4, 0, 0, 0, 1, 0, 0, 0}},
      {"payload beyond the bound", {0x80, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const Bad& test : cases) {
    SCOPED_TRACE(test.what);
    platform::SocketResult result = SocketResult::kFailed;
    platform::LocalSocket socket =
        platform::LocalSocket::Connect(sim_test::SlotEndpoint(base_, 0), 2000, &result);
    ASSERT_EQ(result, SocketResult::kOk);
    ASSERT_EQ(socket.SendAll(test.bytes.data(), test.bytes.size(), 2000), SocketResult::kOk);
    std::uint8_t head[8];
    EXPECT_EQ(socket.ReceiveExact(head, sizeof head, 5000), SocketResult::kClosed);
  }
}

TEST_F(SimServerTest, AnAnswerThatNeverComesFailsTheLinkWithinItsBound) {
  // A listener that takes the connection and then says nothing: a hung simulator.
  platform::SocketResult result = SocketResult::kFailed;
  std::string error;
  platform::LocalSocket listener =
      platform::LocalSocket::Listen(sim_test::SlotEndpoint(base_, 0), &result, &error);
  ASSERT_EQ(result, SocketResult::kOk) << error;
  sim::link::Client client;
  ASSERT_EQ(client.Connect(0), SocketResult::kOk);
  platform::LocalSocket accepted = listener.Accept(2000, &result);
  ASSERT_EQ(result, SocketResult::kOk);
  std::uint32_t status = 0;
  EXPECT_FALSE(client.Exchange(sim::link::Op::kStatus, nullptr, 0, &status, nullptr, 200));
  EXPECT_FALSE(client.connected());
  // A late answer is never taken for the next one: the link stays failed.
  const std::uint8_t late[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(accepted.SendAll(late, sizeof late, 2000), SocketResult::kOk);
  EXPECT_FALSE(client.Exchange(sim::link::Op::kStatus, nullptr, 0, &status, nullptr, 200));
}

TEST_F(SimServerTest, AnswersAreTakenWholeHoweverTheyArriveAndNeverBeyondTheirLength) {
  platform::SocketResult result = SocketResult::kFailed;
  std::string error;
  platform::LocalSocket listener =
      platform::LocalSocket::Listen(sim_test::SlotEndpoint(base_, 0), &result, &error);
  ASSERT_EQ(result, SocketResult::kOk) << error;
  sim::link::Client client;
  ASSERT_EQ(client.Connect(0), SocketResult::kOk);
  platform::LocalSocket accepted = listener.Accept(2000, &result);
  ASSERT_EQ(result, SocketResult::kOk);
  // Head cut after 3 bytes; then a payload longer than one read takes at first.
  std::vector<std::uint8_t> answer(8 + 1000);
  for (std::size_t i = 8; i < answer.size(); ++i) answer[i] = static_cast<std::uint8_t>(i);
  platform::WriteLE32(answer.data(), 7);
  platform::WriteLE32(answer.data() + 4, 1000);
  std::thread peer([&] {
    std::uint8_t request[5];
    ASSERT_EQ(accepted.ReceiveExact(request, sizeof request, 2000), SocketResult::kOk);
    ASSERT_EQ(accepted.SendAll(answer.data(), 3, 2000), SocketResult::kOk);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(accepted.SendAll(answer.data() + 3, answer.size() - 3, 2000), SocketResult::kOk);
    // The next answer comes with a byte more than it says it holds.
    ASSERT_EQ(accepted.ReceiveExact(request, sizeof request, 2000), SocketResult::kOk);
    const std::uint8_t longer[8 + 2] = {0, 0, 0, 0, 1, 0, 0, 0, 0xAA, 0xBB};
    ASSERT_EQ(accepted.SendAll(longer, sizeof longer, 2000), SocketResult::kOk);
  });
  std::uint32_t status = 0;
  std::vector<std::uint8_t> payload;
  EXPECT_TRUE(client.Exchange(sim::link::Op::kStatus, nullptr, 0, &status, &payload, 2000));
  EXPECT_EQ(status, 7u);
  EXPECT_EQ(payload, std::vector<std::uint8_t>(answer.begin() + 8, answer.end()));
  EXPECT_FALSE(client.Exchange(sim::link::Op::kStatus, nullptr, 0, &status, &payload, 2000));
  EXPECT_FALSE(client.connected());
  peer.join();
}

// --- ctl commands --------------------------------------------------------------------

TEST(ControlCommandTest, GoodCommandsParseToTheirFields) {
  sim::ControlCommand command;
  std::string error;
  ASSERT_TRUE(sim::ParseControl(Words("fail get-status --nth 3 --persistent --status 0x10"),
                                &command, &error))
      << error;
  EXPECT_EQ(command.kind, sim::ControlCommand::Kind::kFail);
  EXPECT_EQ(command.fault.call, sim::Call::GetStatus);
  EXPECT_EQ(command.fault.nth, 3u);
  EXPECT_TRUE(command.fault.persistent);
  EXPECT_EQ(command.fault.status, 16u);

  ASSERT_TRUE(sim::ParseControl(Words("fail ee-read"), &command, &error));
  EXPECT_EQ(command.fault.call, sim::Call::EeRead);
  EXPECT_EQ(command.fault.nth, 1u);
  EXPECT_FALSE(command.fault.persistent);
  EXPECT_EQ(command.fault.status, d2xx::kIoError);

  ASSERT_TRUE(sim::ParseControl(Words("unplug 250"), &command, &error));
  EXPECT_EQ(command.kind, sim::ControlCommand::Kind::kUnplug);
  EXPECT_EQ(command.number, 250u);
  ASSERT_TRUE(sim::ParseControl(Words("unplug"), &command, &error));
  EXPECT_EQ(command.number, 0u);
  ASSERT_TRUE(sim::ParseControl(Words("short-writes 7"), &command, &error));
  EXPECT_EQ(command.kind, sim::ControlCommand::Kind::kShortWrites);
  EXPECT_EQ(command.number, 7u);
}

TEST(ControlCommandTest, EveryCallNameIsKnown) {
  const std::pair<const char*, sim::Call> names[] = {{"open", sim::Call::Open},
                                                     {"close", sim::Call::Close},
                                                     {"read", sim::Call::Read},
                                                     {"write", sim::Call::Write},
                                                     {"reset", sim::Call::Reset},
                                                     {"queue-status", sim::Call::QueueStatus},
                                                     {"get-status", sim::Call::GetStatus},
                                                     {"latency", sim::Call::Latency},
                                                     {"ee-read", sim::Call::EeRead}};
  for (const auto& [name, call] : names) {
    sim::Call parsed = sim::Call::Open;
    EXPECT_TRUE(sim::CallByName(name, &parsed)) << name;
    EXPECT_EQ(parsed, call) << name;
  }
  sim::Call parsed;
  EXPECT_FALSE(sim::CallByName("Read", &parsed));
}

TEST(ControlCommandTest, BadCommandsAreRefusedWithAReason) {
  const char* bad[] = {"",
                       "frobnicate",
                       "fail",
                       "fail bogus",
                       "fail read --nth 0",
                       "fail read --nth",
                       "fail read --nth -1",
                       "fail read --status 0",
                       "fail read --status 0x100000000",
                       "fail read --often",
                       "short-writes",
                       "short-writes many",
                       "unplug 10 20",
                       "unplug soon",
                       "replug now",
                       "quit please",
                       "clear-faults all"};
  for (const char* line : bad) {
    sim::ControlCommand command;
    std::string error;
    EXPECT_FALSE(sim::ParseControl(Words(line), &command, &error)) << line;
    EXPECT_FALSE(error.empty()) << line;
  }
}

// --- the shared block ----------------------------------------------------------------

std::uint32_t WordAt(const std::vector<std::uint8_t>& block, std::size_t offset) {
  return std::uint32_t{block[offset]} | (std::uint32_t{block[offset + 1]} << 8) |
         (std::uint32_t{block[offset + 2]} << 16) | (std::uint32_t{block[offset + 3]} << 24);
}

TEST(SharedBlockTest, HeaderAndDriverAreaAreSetAndTextsBounded) {
  // vector's storage is suitably aligned for the word accesses.
  std::vector<std::uint8_t> block(sim::kBlockSize, 0xEE);
  sim::PrepareBlock(block.data(), 5);
  EXPECT_EQ(WordAt(block, 4), 1u);                // BlockFormat
  EXPECT_EQ(WordAt(block, 8), 5u);                // FirmwareLevel
  EXPECT_EQ(WordAt(block, 0x2000), 0xAA8D4A8Cu);  // DriverAreaMagic
  EXPECT_EQ(WordAt(block, 0x2004), 0u);           // DriverState
  EXPECT_EQ(WordAt(block, 0), 0xEEEEEEEEu) << "BlockMagic is not the driver's to set here";

  sim::WriteBlockFirmware(block.data(), "Jun 14 2024", "a time text far too long");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.data() + 48)), "Jun 14 2024");
  for (std::size_t i = 48 + 11; i < 64; ++i) EXPECT_EQ(block[i], 0) << i;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.data() + 64), 16),
            std::string("a time text far", 15) + '\0');
  EXPECT_EQ(block[80], 0xEE) << "written past CompileTime";
  EXPECT_EQ(block[47], 0xEE) << "written before CompileDate";
}

TEST_F(SimServerTest, StatusShowsTheBlocksDriverState) {
  std::vector<std::uint8_t> block(sim::kBlockSize, 0);
  sim::PrepareBlock(block.data(), 0);
  RunningUnit& running = Start(0, {}, block.data());
  EXPECT_EQ(running.Status("driver-state"), "0");
  block[0x2004] = 2;  // Flashwright holds the unit
  EXPECT_EQ(running.Status("driver-state"), "2");
  EXPECT_EQ(running.Status("endpoint"), sim_test::SlotEndpoint(base_, 0));
  RunningUnit& blockless = Start(1);
  EXPECT_EQ(blockless.Status("driver-state"), "none");
}

}  // namespace
