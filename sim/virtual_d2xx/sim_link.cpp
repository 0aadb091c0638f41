// The link to tarvex-sim: slot endpoints and the request/answer framing, shared by
// the virtual D2XX library, tarvex-sim's server and its status and ctl commands.
#include "sim/virtual_d2xx/sim_link.h"

#include <cstdlib>
#include <utility>

#include "platform/bytes.h"

namespace sim::link {

std::string EndpointBase() {
  const char* chosen = std::getenv("TARVEX_SIM_ENDPOINT");
  if (chosen != nullptr && chosen[0] != '\0') return chosen;
  return platform::DefaultEndpointBase("tarvex-sim", kDefaultBasePort);
}

std::string SlotEndpoint(int slot) {
  return platform::NumberedEndpoint(EndpointBase(), "unit", slot);
}

platform::SocketResult Client::Connect(int slot, int timeoutMs) {
  const std::string endpoint = SlotEndpoint(slot);
  platform::SocketResult result = platform::SocketResult::kFailed;
  if (endpoint.empty()) return result;
  socket_ = platform::LocalSocket::Connect(endpoint, timeoutMs, &result);
  failed_ = result != platform::SocketResult::kOk;
  return result;
}

bool Client::Exchange(Op op, const std::uint8_t* payload, std::uint32_t size, std::uint32_t* status,
                      std::vector<std::uint8_t>* answer, int timeoutMs) {
  if (!connected() || size > kMaxPayload) {
    failed_ = true;
    return false;
  }
  std::vector<std::uint8_t> request(5 + size);
  request[0] = static_cast<std::uint8_t>(op);
  platform::WriteLE32(request.data() + 1, size);
  for (std::uint32_t i = 0; i < size; ++i) request[5 + i] = payload[i];
  // Most answers come whole in one read: the head and what follows are taken together.
  std::uint8_t first[8 + 256];
  std::size_t got = 0;
  if (socket_.SendAll(request.data(), request.size(), timeoutMs) != platform::SocketResult::kOk ||
      socket_.ReceiveSome(first, sizeof first, &got, timeoutMs) != platform::SocketResult::kOk ||
      (got < 8 && socket_.ReceiveExact(first + got, 8 - got, timeoutMs) !=
                      platform::SocketResult::kOk)) {
    failed_ = true;
    return false;
  }
  got = got < 8 ? 8 : got;
  const std::uint32_t length = platform::ReadLE32(first + 4);
  // More than the answer holds would be the start of another: the link is broken.
  if (length > kMaxPayload || got - 8 > length) {
    failed_ = true;
    return false;
  }
  std::vector<std::uint8_t> body(first + 8, first + got);
  body.resize(length);
  const std::size_t have = got - 8;
  if (have < length && socket_.ReceiveExact(body.data() + have, length - have, timeoutMs) !=
                           platform::SocketResult::kOk) {
    failed_ = true;
    return false;
  }
  *status = platform::ReadLE32(first);
  if (answer != nullptr) *answer = std::move(body);
  return true;
}

platform::SocketResult ReceiveRequest(platform::LocalSocket& socket, int firstByteMs, Op* op,
                                      std::vector<std::uint8_t>* payload) {
  std::uint8_t head[5];
  // The first byte alone may be waited for in short slices; once it is there the
  // rest of the request follows at once or the client is taken for broken.
  platform::SocketResult result = socket.ReceiveExact(head, 1, firstByteMs);
  if (result != platform::SocketResult::kOk) return result;
  result = socket.ReceiveExact(head + 1, 4, kAnswerTimeoutMs);
  if (result != platform::SocketResult::kOk) return platform::SocketResult::kFailed;
  const std::uint32_t length = platform::ReadLE32(head + 1);
  if (length > kMaxPayload) return platform::SocketResult::kFailed;
  payload->assign(length, 0);
  if (length > 0 &&
      socket.ReceiveExact(payload->data(), length, kAnswerTimeoutMs) != platform::SocketResult::kOk)
    return platform::SocketResult::kFailed;
  *op = static_cast<Op>(head[0]);
  return platform::SocketResult::kOk;
}

bool SendAnswer(platform::LocalSocket& socket, std::uint32_t status, const std::uint8_t* payload,
                std::uint32_t size) {
  if (size > kMaxPayload) return false;
  std::vector<std::uint8_t> answer(8 + size);
  platform::WriteLE32(answer.data(), status);
  platform::WriteLE32(answer.data() + 4, size);
  for (std::uint32_t i = 0; i < size; ++i) answer[8 + i] = payload[i];
  return socket.SendAll(answer.data(), answer.size(), kAnswerTimeoutMs) ==
         platform::SocketResult::kOk;
}

}  // namespace sim::link
