// Arbitrary device packets into the object layer's reply handling: the UEI reply filters of
// gets, sets, multi-packet bytes values and raw command requests, and the stream-sample filter
// with its cache and callbacks, all on a real Link to a scripted module on a loopback port.
// Input: the request (byte 0: which one; bytes 1-3: command, option, entity index), then the
// packets the module answers with, each as an address selector (0: the module, 1: another
// module, else the byte as an even address: the packets stay well framed, the framing is
// link_inbound's), a length and the payload. After them the module always sends an error
// reply, which ends any wait, and a marker packet (an acknowledgement from another module, so
// never a stream sample) that shows everything arrived.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "EntityClass.h"
#include "FakeModule.h"
#include "LinkStreams.h"
#include "Module.h"
#include "aLink.h"

using Tessaron::Axonforge::EntityClass;
using Tessaron::Axonforge::Link;
using Tessaron::Axonforge::LinkStreams;
using Tessaron::Axonforge::Module;
using Tessaron::Axonforge::OwnedPacket;
using linktest::FakeModule;
using linktest::WirePacket;

namespace {

constexpr uint8_t kModule = 2;
constexpr uint8_t kOtherModule = 4;
constexpr uint8_t kMarkerCommand = 0x7F;

struct Harness {
  FakeModule device{kModule};
  Module module{kModule, false, 0};
  std::atomic<unsigned> samples{0};
  uint32_t marker = 0;
  // The packets the module sends when the next request arrives, while armed.
  std::vector<WirePacket> answer;
  std::atomic<bool> armed{false};
};

Harness* gHarness = nullptr;

// Answers every set with its acknowledgement (the stream registrations at start-up).
std::vector<WirePacket> sAcknowledge(const WirePacket& request) {
  if (request.data.size() < 3 || (request.data[1] & UEI_OPTION_DIRECTION_MASK) != UEI_OPTION_SET) return {};
  return {{kModule, {request.data[0], uint8_t((request.data[1] & UEI_OPTION_MASK) | UEI_OPTION_ACK),
                     uint8_t(request.data[2] & UEI_SPECIFIER_INDEX_MASK)}}};
}

uint8_t sIsMarker(const aPacket* packet, void* reference) {
  const uint32_t marker = *static_cast<const uint32_t*>(reference);
  return packet->address == kOtherModule && packet->dataSize == 6 && packet->data[0] == kMarkerCommand &&
         packet->data[1] == UEI_OPTION_ACK && aUEI_RetrieveInt(packet->data + 2) == marker;
}

uint8_t sAcceptAll(const aPacket*, void*) { return 1; }

std::vector<WirePacket> sScriptedPackets(const uint8_t* data, size_t size) {
  std::vector<WirePacket> packets;
  size_t pos = 0;
  while (pos + 2 <= size) {
    const uint8_t selector = data[pos];
    const size_t length = std::min<size_t>(data[pos + 1] % (aPACKET_MAX_DATA + 1), size - pos - 2);
    uint8_t address = selector & 0xFE;
    if (address == 0) address = selector == 0 ? kModule : kOtherModule;
    packets.push_back({address, linktest::Bytes(data + pos + 2, data + pos + 2 + length)});
    pos += 2 + length;
  }
  return packets;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gHarness = new Harness;
  Harness& h = *gHarness;
  h.device.setHandler(sAcknowledge);
  if (h.module.connectFromSpec(h.device.spec()) != aErrNone) std::abort();
  LinkStreams* streams = h.module.getLink()->streams();
  auto count = [](const aPacket*, void*) -> uint8_t {
    gHarness->samples++;
    return 0;
  };
  // Every sample of the module, and one entity's samples on their own.
  if (streams->registerStreamCallback(kModule, LinkStreams::kSTREAM_ANY, LinkStreams::kSTREAM_ANY,
                                      LinkStreams::kSTREAM_ANY, true, count, nullptr) != aErrNone ||
      streams->registerStreamCallback(kModule, 0x10, 1, 0, true, count, nullptr) != aErrNone)
    std::abort();
  h.device.setHandler([](const WirePacket&) {
    return gHarness->armed.exchange(false) ? gHarness->answer : std::vector<WirePacket>{};
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  Harness& h = *gHarness;
  const uint8_t operation = data[0] % 4;
  const uint8_t command = data[1];
  const uint8_t option = data[2] & UEI_OPTION_MASK;
  const uint8_t index = data[3] & UEI_SPECIFIER_INDEX_MASK;
  std::vector<WirePacket> answer = sScriptedPackets(data + 4, size - 4);
  const uint8_t replyOption = operation == 1 ? uint8_t(option | UEI_OPTION_ACK) : option;
  answer.push_back({kModule, {command, replyOption, uint8_t(index | UEI_SPECIFIER_ERROR), 1}});
  const uint32_t marker = ++h.marker;
  WirePacket markerPacket{kOtherModule, {kMarkerCommand, UEI_OPTION_ACK, 0, 0, 0, 0}};
  aUEI_StoreInt(markerPacket.data.data() + 2, marker);
  answer.push_back(markerPacket);

  // The module answers the first request; an operation that sends none (a value the stream
  // cache holds) gets the same packets unasked.
  h.answer = std::move(answer);
  h.armed = true;

  EntityClass entity;
  entity.init(&h.module, command, index);
  Link& link = *h.module.getLink();
  switch (operation) {
    case 0: {
      uint32_t value = 0;
      entity.getUEI32(option, &value);
      break;
    }
    case 1:
      entity.setUEI32(option, 0x01020304);
      break;
    case 2: {
      std::vector<uint8_t> buffer(1 + data[3] % 64);
      size_t received = 0;
      entity.getUEIBytes(option, buffer.data(), buffer.size(), &received);
      if (received > buffer.size()) __builtin_trap();
      break;
    }
    default: {
      const uint8_t request[1] = {option};
      const uint8_t match[1] = {command};
      uint8_t length = sizeof match;
      uint8_t reply[aPACKET_MAX_DATA];
      link.requestPacket(kModule, command, sizeof request, request, match, &length, reply);
      if (length > aPACKET_MAX_DATA) __builtin_trap();
      break;
    }
  }
  if (h.armed.exchange(false)) {
    for (const WirePacket& packet : h.answer) h.device.send(packet);
  }
  OwnedPacket seen;
  if (link.await(sIsMarker, &h.marker, 5000, &seen) != aErrNone) __builtin_trap();
  aLink_DrainPackets(link.getLinkId(), sAcceptAll, nullptr);
  h.device.clearReceived();

  LinkStreams* streams = link.streams();
  uint32_t value = 0;
  streams->getStreamValue(kModule, command, option, index, 0, &value);
  Tessaron::Axonforge::StreamStatusEntry entries[4];
  size_t filled = 0;
  streams->getStreamStatus(kModule, LinkStreams::kSTREAM_ANY, LinkStreams::kSTREAM_ANY, LinkStreams::kSTREAM_ANY,
                           LinkStreams::kSTREAM_ANY, entries, 4, &filled);
  if (filled > 4) __builtin_trap();
  return 0;
}
