// The unit as Defloader sees it, for in-process tests: the six Qmxzelti calls over a
// simulated ccTalk bus (sim::CcTalkBus) on a virtual clock. Every raw port request is
// recorded; the unit can refuse the bus, stop answering, or hand replies out in
// pieces. One fake per process at a time: the calls are plain functions.
#pragma once

#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "download/frame.h"
#include "platform/clock.h"
#include "sim/cctalk_bus.h"

namespace dfltest {

struct Lines final : dfl::LineSink {
  void Line(const char* text) override {
    lines.emplace_back(text);
    // A copy: the hook may replace itself.
    if (const auto hook = onLine) hook(lines.back());
    // The stage a line sees is the one the step before it set.
    if (status != nullptr && (stages.empty() || stages.back() != status->stage.load()))
      stages.push_back(status->stage.load());
  }
  bool Has(const std::string& line) const {
    for (const std::string& l : lines)
      if (l == line) return true;
    return false;
  }
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const std::string& l : lines) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
  const dfl::StatusSet* status = nullptr;
  std::function<void(const std::string&)> onLine;  // runs on the tracing thread
  std::vector<std::string> lines;
  std::vector<std::uint32_t> stages;
};

class FakeUnit {
 public:
  FakeUnit() : bus(clock) { current = this; }
  ~FakeUnit() { current = nullptr; }

  void AddAcceptor(std::int32_t unitCode, std::int32_t address, sim::PeripheralModel model) {
    QmxAcceptorDetails details{};
    details.UnitCode = unitCode;
    details.Address = address;
    details.InterfaceNumber = 1;
    acceptors.push_back(details);
    bus.Attach(model, static_cast<std::uint8_t>(address));
  }

  static dfl::InterfaceCalls Calls() {
    return {&OpenVODVersion, &EnableInterface, &DisableInterface,
            &ReadAcceptorDetails, &DoRawPort, &RawPortResult};
  }

  // Messages the host sent on the bus (raw port command 1), as sent.
  std::vector<std::vector<std::uint8_t>> Sent() const {
    std::vector<std::vector<std::uint8_t>> sent;
    for (const QmxRawPortRequest& r : requests)
      if (r.Command == 1) sent.emplace_back(r.Data, r.Data + r.Length);
    return sent;
  }
  int CountCommand(int command) const {
    int n = 0;
    for (const QmxRawPortRequest& r : requests) n += r.Command == command ? 1 : 0;
    return n;
  }

  platform::VirtualClock clock;
  sim::CcTalkBus bus;
  std::vector<QmxAcceptorDetails> acceptors;
  int openResult = 0;
  int opens = 0, enables = 0, disables = 0;
  bool refuseBus = false;     // command 0 answers -1
  bool stopAnswering = false;  // the unit no longer answers any raw port request
  int transmitAnswer = 1;      // negative: an error answer to each transmit
  int emptyReceive = -1;       // a receive that found nothing (tarvex-sim's -1, or 0)
  // When set, each request is answered this long after it was placed, and a request
  // made before that is not placed (-2), as Qmxzelti keeps one in flight.
  std::uint32_t answerDelayMs = 0;
  int refused = 0;  // placements refused while our own request was in flight
  // When set (with answerDelayMs): after each answer another host's block is in
  // flight this long, and placements meanwhile are refused as well.
  std::uint32_t foreignBlockMs = 0;
  int foreignRefusals = 0;
  std::deque<std::vector<std::uint8_t>> pieces;  // when set: what receives hand out
  // When set: sees (and may damage) each message on its way onto the bus.
  std::function<void(std::uint8_t* message, std::size_t length)> onTransmit;
  std::vector<QmxRawPortRequest> requests;

 private:
  static int QMX_CALL OpenVODVersion(int version) {
    ++current->opens;
    return version == QMX_VERSION_2 ? current->openResult : QMX_ERROR_INVALID_DATA;
  }
  static void QMX_CALL EnableInterface() { ++current->enables; }
  static void QMX_CALL DisableInterface() { ++current->disables; }
  static int QMX_CALL ReadAcceptorDetails(int index, void* details) {
    if (index < 0 || static_cast<std::size_t>(index) >= current->acceptors.size()) return 0;
    std::memcpy(details, &current->acceptors[static_cast<std::size_t>(index)],
                sizeof(QmxAcceptorDetails));
    return 1;
  }
  // Answers at once, or answerDelayMs later, as Qmxzelti shows it: the answer stays
  // readable until the next request.
  static void QMX_CALL DoRawPort(const QmxRawPortRequest* request) {
    FakeUnit& unit = *current;
    if (unit.answerDelayMs > 0) {
      unit.Settle();
      if (unit.inFlight || unit.clock.Counter() < unit.foreignUntil) {
        ++(unit.inFlight ? unit.refused : unit.foreignRefusals);
        unit.notPlaced = true;
        return;
      }
      unit.notPlaced = false;
      unit.requests.push_back(*request);
      unit.inFlight = true;
      unit.answerDue = unit.clock.Counter() + std::int64_t{unit.answerDelayMs} * 1000;
      unit.answered = false;
      return;
    }
    unit.requests.push_back(*request);
    unit.Answer(*request);
  }
  // A request in flight whose time has come is answered.
  void Settle() {
    // A unit that stopped keeps its last request in flight: nothing more is placed.
    if (!inFlight || stopAnswering || clock.Counter() < answerDue) return;
    inFlight = false;
    foreignUntil = answerDue + std::int64_t{foreignBlockMs} * 1000;
    Answer(requests.back());
  }
  void Answer(const QmxRawPortRequest& request) {
    answer.clear();
    answered = !stopAnswering;
    if (!answered) return;
    switch (request.Command) {
      case 0:
        if (refuseBus) {
          answerLength = -1;
          return;
        }
        bus.Clear();
        answer = {1};
        break;
      case 1: {
        QmxRawPortRequest sent = request;
        if (onTransmit) onTransmit(sent.Data, static_cast<std::size_t>(sent.Length));
        bus.Send(sent.Data, static_cast<std::size_t>(sent.Length));
        if (transmitAnswer < 0) {
          answerLength = transmitAnswer;
          return;
        }
        answer = {1};
        break;
      }
      case 2:
        if (!pieces.empty()) {
          answer = pieces.front();
          pieces.pop_front();
        } else {
          std::uint8_t bytes[QMX_RAW_PORT_DATA];
          answer.assign(bytes, bytes + bus.Fetch(bytes, sizeof bytes));
          if (answer.empty()) {
            answerLength = emptyReceive;
            return;
          }
        }
        break;
      case 3:
        bus.Clear();
        answer = {1};
        break;
      default:
        bus.Clear();
        answered = false;
        return;
    }
    answerLength = static_cast<int>(answer.size());
  }
  static int QMX_CALL RawPortResult(unsigned char* buffer) {
    FakeUnit& unit = *current;
    if (unit.answerDelayMs > 0) {
      unit.Settle();
      if (unit.notPlaced) return -2;
    }
    if (!unit.answered) return 0;
    if (!unit.answer.empty()) std::memcpy(buffer, unit.answer.data(), unit.answer.size());
    return unit.answerLength;
  }

  static inline FakeUnit* current = nullptr;
  std::vector<std::uint8_t> answer;
  int answerLength = 0;
  bool answered = false;
  bool inFlight = false, notPlaced = false;
  std::int64_t answerDue = 0;
  std::int64_t foreignUntil = 0;
};

// A library over the fake unit whose worker runs on the caller's thread.
struct Library {
  explicit Library(FakeUnit& unit)
      : library(FakeUnit::Calls(), unit.clock, trace, output, [](std::function<void()> body) {
          body();
          return true;
        }) {
    library.Loaded();
  }
  // Records the stage of one kind's set at every trace line.
  void Watch(bool coins) { trace.status = coins ? &library.state.coin : &library.state.bill; }
  Lines trace, output;
  dfl::Defloader library;
};

// A file in this process's own temporary folder (suites of several builds may run
// at once).
inline std::string WriteFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
  static const std::filesystem::path folder = [] {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("dfltest-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(path);
    return path;
  }();
  const std::filesystem::path path = folder / name;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return path.string();
}

}  // namespace dfltest
