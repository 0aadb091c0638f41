// tarvex-sim's serving logic: the accept loop, one thread per connection, D2XX
// sessions forwarded to the unit, the status and ctl exchanges (their contents in
// sim_status.cpp and sim_control.cpp), and the unit's part of the shared block's
// header.
#include "sim/sim_server.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/bytes.h"
#include "sim/virtual_d2xx/sim_link.h"

namespace sim {
namespace {

namespace d2xx = platform::d2xx;
using link::Op;

constexpr d2xx::Status kInvalidParameter = 6;  // FT_INVALID_PARAMETER

// How often waiting threads look whether the server is stopping.
constexpr int kSliceMs = 100;

// Shared block layout (the unit's side of the header and the driver area).
constexpr std::uint32_t kBlockMagic = 0xAA8D4A8C;
constexpr std::size_t kBlockFormatOffset = 4;
constexpr std::size_t kFirmwareLevelOffset = 8;
constexpr std::size_t kCompileDateOffset = 48;
constexpr std::size_t kCompileTimeOffset = 64;
constexpr std::size_t kTextSize = 16;
constexpr std::size_t kDriverAreaMagicOffset = 0x2000;
constexpr std::size_t kDriverStateOffset = 0x2004;

// A text field of the block, written a word at a time: the readers are other
// processes, and every access to the block is a whole-word one.
void WriteText(std::uint8_t* field, const std::string& text) {
  std::uint8_t bytes[kTextSize] = {};
  std::memcpy(bytes, text.data(), std::min(text.size(), kTextSize - 1));
  for (std::size_t i = 0; i < kTextSize; i += 4)
    platform::StoreSharedWord(field + i, platform::ReadLE32(bytes + i));
}

}  // namespace

void PrepareBlock(std::uint8_t* block, std::int32_t level) {
  platform::StoreSharedWord(block + kBlockFormatOffset, 1);
  platform::StoreSharedWord(block + kFirmwareLevelOffset, static_cast<std::uint32_t>(level));
  platform::StoreSharedWord(block + kDriverAreaMagicOffset, kBlockMagic);
  platform::StoreSharedWord(block + kDriverStateOffset, 0);
}

void WriteBlockFirmware(std::uint8_t* block, const std::string& date, const std::string& time) {
  WriteText(block + kCompileDateOffset, date);
  WriteText(block + kCompileTimeOffset, time);
}

SimServer::SimServer(UsbUnit& unit, ServerSettings settings) : unit_(unit), settings_(settings) {}

SimServer::~SimServer() {
  Stop();
}

platform::SocketResult SimServer::Start(const std::string& endpoint, std::string* error) {
  platform::SocketResult result = platform::SocketResult::kFailed;
  if (acceptor_.joinable()) {
    if (error != nullptr) *error = "serving already at " + endpoint_;
    return result;
  }
  listener_ = platform::LocalSocket::Listen(endpoint, &result, error);
  if (result != platform::SocketResult::kOk) return result;
  endpoint_ = endpoint;
  stopping_ = false;
  acceptor_ = std::thread([this] { AcceptLoop(); });
  return result;
}

void SimServer::Stop() {
  stopping_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  ReapWorkers(true);
  listener_.Close();
}

void SimServer::ReapWorkers(bool all) {
  std::list<std::unique_ptr<Worker>> finished;
  {
    std::lock_guard<std::mutex> hold(workersLock_);
    for (auto it = workers_.begin(); it != workers_.end();) {
      if (all || (*it)->done.load()) {
        finished.push_back(std::move(*it));
        it = workers_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& worker : finished) worker->thread.join();
}

void SimServer::AcceptLoop() {
  while (!stopping_.load()) {
    platform::SocketResult result = platform::SocketResult::kFailed;
    platform::LocalSocket connection = listener_.Accept(kSliceMs, &result);
    ReapWorkers(false);
    if (result == platform::SocketResult::kFailed) {
      // Out of descriptors, say: wait a little rather than spin.
      std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
      continue;
    }
    if (result != platform::SocketResult::kOk) continue;
    auto worker = std::make_unique<Worker>();
    Worker* raw = worker.get();
    std::lock_guard<std::mutex> hold(workersLock_);
    raw->thread = std::thread([this, raw, socket = std::move(connection)]() mutable {
      Serve(std::move(socket));
      raw->done = true;
    });
    workers_.push_back(std::move(worker));
  }
}

// Waits for the client to close its end first, so the connection's remains stay
// with the client (with TCP the side that closes first keeps the port waiting).
void SimServer::AwaitClientEnd(platform::LocalSocket& socket) {
  std::uint8_t byte;
  for (int waited = 0; waited < link::kAnswerTimeoutMs && !stopping_.load(); waited += kSliceMs) {
    if (socket.ReceiveExact(&byte, 1, kSliceMs) != platform::SocketResult::kTimeout) return;
  }
}

void SimServer::Serve(platform::LocalSocket socket) {
  Op op{};
  std::vector<std::uint8_t> payload;
  // The first request decides what the connection is; a client that sends none in
  // time is dropped.
  platform::SocketResult result = platform::SocketResult::kTimeout;
  for (int waited = 0; result == platform::SocketResult::kTimeout && !stopping_.load() &&
                       waited < link::kAnswerTimeoutMs;
       waited += kSliceMs)
    result = link::ReceiveRequest(socket, kSliceMs, &op, &payload);
  if (result != platform::SocketResult::kOk) return;

  switch (op) {
    case Op::kOpen: ServeSession(socket); return;
    case Op::kStatus: {
      const std::string text = StatusText();
      link::SendAnswer(socket, 0, reinterpret_cast<const std::uint8_t*>(text.data()),
                       static_cast<std::uint32_t>(text.size()));
      break;
    }
    case Op::kPresence:
      link::SendAnswer(socket, unit_.Plugged() ? d2xx::kOk : d2xx::kDeviceNotFound, nullptr, 0);
      break;
    case Op::kControl: {
      // Words, each closed by a zero byte.
      std::vector<std::string> words;
      std::string word;
      for (std::uint8_t byte : payload) {
        if (byte == 0) {
          words.push_back(std::move(word));
          word.clear();
        } else {
          word += static_cast<char>(byte);
        }
      }
      std::string answer;
      const std::uint32_t status = Control(words, &answer);
      link::SendAnswer(socket, status, reinterpret_cast<const std::uint8_t*>(answer.data()),
                       static_cast<std::uint32_t>(answer.size()));
      break;
    }
    default: return;  // not a first request: not one of our clients
  }
  AwaitClientEnd(socket);
}

void SimServer::ServeSession(platform::LocalSocket& socket) {
  const d2xx::Status opened = unit_.Open();
  if (!link::SendAnswer(socket, opened, nullptr, 0) || opened != d2xx::kOk) {
    if (opened == d2xx::kOk)
      unit_.Release();
    else
      AwaitClientEnd(socket);
    return;
  }
  // The unit is this session's until it closes it. A client that goes away
  // without closing (a loader that crashed), or whose close failed, leaves it
  // closed, as the system does with the device handles of a process that ends.
  bool holding = true;
  for (;;) {
    Op op{};
    std::vector<std::uint8_t> payload;
    const platform::SocketResult result = link::ReceiveRequest(socket, kSliceMs, &op, &payload);
    if (result == platform::SocketResult::kTimeout) {
      if (stopping_.load()) break;
      continue;
    }
    if (result != platform::SocketResult::kOk) break;
    if (op == Op::kClose) {
      const d2xx::Status status = unit_.Close();
      holding = status != d2xx::kOk;
      if (link::SendAnswer(socket, status, nullptr, 0)) AwaitClientEnd(socket);
      break;
    }
    if (!AnswerCall(socket, static_cast<std::uint8_t>(op), payload)) break;
  }
  if (holding) unit_.Release();
}

bool SimServer::AnswerCall(platform::LocalSocket& socket, std::uint8_t op,
                           const std::vector<std::uint8_t>& payload) {
  std::vector<std::uint8_t> answer;
  d2xx::Status status = kInvalidParameter;
  switch (static_cast<Op>(op)) {
    case Op::kRead: {
      if (payload.size() != 4) break;
      const std::uint32_t count = std::min(platform::ReadLE32(payload.data()), link::kMaxPayload);
      answer.assign(count, 0);
      std::uint32_t read = 0;
      status = unit_.Read(answer.data(), count, &read);
      answer.resize(status == d2xx::kOk ? std::min(read, count) : 0);
      break;
    }
    case Op::kWrite: {
      std::uint32_t written = 0;
      status = unit_.Write(payload.data(), static_cast<std::uint32_t>(payload.size()), &written);
      if (status == d2xx::kOk) {
        answer.resize(4);
        platform::WriteLE32(answer.data(), written);
      }
      break;
    }
    case Op::kReset: status = unit_.Reset(); break;
    case Op::kQueueStatus: {
      std::uint32_t waiting = 0;
      status = unit_.QueueStatus(&waiting);
      if (status == d2xx::kOk) {
        answer.resize(4);
        platform::WriteLE32(answer.data(), waiting);
      }
      break;
    }
    case Op::kGetStatus: {
      std::uint32_t receive = 0, transmit = 0, event = 0;
      status = unit_.GetStatus(&receive, &transmit, &event);
      if (status == d2xx::kOk) {
        answer.resize(12);
        platform::WriteLE32(answer.data(), receive);
        platform::WriteLE32(answer.data() + 4, transmit);
        platform::WriteLE32(answer.data() + 8, event);
      }
      break;
    }
    case Op::kSetLatency:
      if (payload.size() != 1) break;
      status = unit_.SetLatency(payload[0]);
      break;
    case Op::kEeRead: {
      if (payload.size() != 12) break;
      char manufacturer[link::kManufacturerSize] = {};
      char manufacturerId[link::kManufacturerIdSize] = {};
      char description[link::kDescriptionSize] = {};
      char serial[link::kSerialNumberSize] = {};
      d2xx::ProgramData data;
      data.Signature1 = platform::ReadLE32(payload.data());
      data.Signature2 = platform::ReadLE32(payload.data() + 4);
      data.Version = platform::ReadLE32(payload.data() + 8);
      data.Manufacturer = manufacturer;
      data.ManufacturerId = manufacturerId;
      data.Description = description;
      data.SerialNumber = serial;
      status = unit_.EeRead(&data);
      if (status != d2xx::kOk) break;
      answer.assign(link::kEepromAnswerSize, 0);
      platform::WriteLE32(answer.data(), data.Version);
      platform::WriteLE16(answer.data() + 4, data.VendorId);
      platform::WriteLE16(answer.data() + 6, data.ProductId);
      std::size_t at = 8;
      // Each text as far as its zero, and never past its own buffer.
      for (auto [text, size] :
           {std::pair<const char*, std::uint32_t>{manufacturer, sizeof manufacturer},
            {manufacturerId, sizeof manufacturerId},
            {description, sizeof description},
            {serial, sizeof serial}}) {
        const std::size_t length = std::find(text, text + size - 1, '\0') - text;
        std::memcpy(answer.data() + at, text, length);
        at += size;
      }
      break;
    }
    default: return false;  // a request no session makes: the client is not ours
  }
  return link::SendAnswer(socket, status, answer.data(), static_cast<std::uint32_t>(answer.size()));
}

}  // namespace sim
