#include "Module.h"

#include <string.h>

#include <new>

#include "LinkPacketLog.h"
#include "aDebug.h"
#include "aLink.h"
#include "aTime.h"
#include "aUEI.h"

namespace Tessaron {
namespace Axonforge {

namespace {

constexpr uint8_t kEchoCommand = 23;
constexpr uint8_t kQueryCommand = 0x49;
constexpr uint8_t kBuildQuery = 0xFF;
constexpr uint8_t kHasUEIQuery = 1;
constexpr uint8_t kClassQuantityQuery = 4;
constexpr uint8_t kSubClassQuantityQuery = 5;
constexpr uint8_t kEntityGroupQuery = 6;
// Longest data after the command byte of one packet.
constexpr size_t kMaxCommandData = aPACKET_MAX_DATA - 1;

constexpr int kAutoNetworkAttempts = 4;
constexpr uint32_t kAutoNetworkPauseMs = 5;
constexpr uint32_t kDebugAutoNetwork = 0x40;

// The module's own Link; empty only when memory runs out, which every operation then reports.
Link* NewLink() {
  try {
    return new Link("Link");
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool autoNetworking, uint8_t model)
    : m_link(NewLink()), m_address(address), m_networkingMode(autoNetworking), m_model(model) {}

Module::~Module() = default;

aErr Module::connect(linkType type, uint32_t serialNumber) {
  if (serialNumber == 0) return aErrParam;
  return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber) {
  if (!m_link) return aErrInitialization;
  aErr err = m_link->discoverAndConnect(type, serialNumber, m_model);
  return err == aErrNone ? autoNetwork() : err;
}

aErr Module::connectFromSpec(const linkSpec& spec) {
  if (!m_link) return aErrInitialization;
  if (m_link->isConnected()) return aErrBusy;
  aErr err = m_link->setLinkSpecifier(spec);
  if (err == aErrNone) err = m_link->connect();
  return err == aErrNone ? autoNetwork() : err;
}

aErr Module::connectThroughLinkModule(const Module& other) {
  if (!m_link) return aErrInitialization;
  if (m_link->isConnected()) return aErrNone;
  linkSpec spec{};
  aErr err = other.getLinkSpecifier(&spec);
  if (err != aErrNone) return err;
  aWeaveConfig config;
  err = other.getConfig(&config);
  if (err == aErrNone) err = m_link->setConfig(config);
  if (err != aErrNone) return err;
  // A USB link opened in networking mode is owned by a link server: the shared connection is
  // a client of that server. Other transports are shared as they are, so that the stored
  // specifier still reaches the device after a disconnect.
  if (config.enabled && spec.type == USB) {
    spec.type = AWEAVE;
    spec.ipAddress = config.networkInterface;
    spec.ipPort = config.assignedPort;
  }
  err = m_link->setLinkSpecifier(spec);
  if (err == aErrNone) err = m_link->connectThroughLinkModule(*other.getLink());
  if (err != aErrNone) return err;
  m_networkingMode = false;
  return aErrNone;
}

aErr Module::reconnect() {
  if (!m_link) return aErrInitialization;
  aErr err = m_link->connect();
  return err == aErrNone ? autoNetwork() : err;
}

bool Module::isConnected() const { return m_link && m_link->isConnected(); }

uint32_t Module::getStatus() const { return m_link ? m_link->getStatus() : LINK_PACKET_ERROR; }

aErr Module::disconnect() {
  if (!m_link) return aErrInitialization;
  return m_link->disconnect();
}

aErr Module::getLinkSpecifier(linkSpec* spec) const {
  if (!m_link) return aErrNotReady;
  return m_link->getLinkSpecifier(spec);
}

aErr Module::getConfig(aWeaveConfig* config) const {
  if (!m_link) return aErrNotReady;
  if (!config) return aErrParam;
  return m_link->getConfig(config);
}

aErr Module::setConfig(const aWeaveConfig& config) {
  if (!m_link) return aErrNotReady;
  return m_link->setConfig(config);
}

aErr Module::enablePacketLog(const char* path) {
  LinkPacketLog* log = m_link ? m_link->packetLog() : nullptr;
  return log ? log->enable(path) : aErrConfiguration;
}

aErr Module::disablePacketLog() {
  LinkPacketLog* log = m_link ? m_link->packetLog() : nullptr;
  return log ? log->disable() : aErrConfiguration;
}

aErr Module::autoNetwork() {
  if (!m_networkingMode || !m_link) return aErrNone;
  uint8_t address = 0;
  aErr err = aErrNotReady;
  for (int attempt = 0; attempt < kAutoNetworkAttempts; ++attempt) {
    err = m_link->getModuleAddress(&address);
    if (err != aErrNotReady) break;
    aTime_MSSleep(kAutoNetworkPauseMs);
  }
  if (err == aErrNotReady) aDebug_Printf(kDebugAutoNetwork, "BOO! Failed to autoNetwork\n");
  if (err == aErrNone && address != 0) m_address = address;
  return err;
}

aErr Module::query(const uint8_t* data, uint8_t length, uint8_t matchLength, uint8_t* reply, uint8_t* replyLength) {
  if (!isConnected()) return aErrConnection;
  uint8_t match[aPACKET_MAX_DATA] = {kQueryCommand};
  memcpy(match + 1, data, matchLength - 1u);
  *replyLength = matchLength;
  return m_link->requestPacket(m_address, kQueryCommand, length, data, match, replyLength, reply);
}

aErr Module::debug(const uint8_t* data, size_t length) {
  if (!isConnected()) return aErrConnection;
  if (length > kMaxCommandData || (length > 0 && !data)) return aErrParam;
  const uint8_t count = static_cast<uint8_t>(length);
  const uint8_t match[] = {kEchoCommand};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = sizeof match;
  aErr err = m_link->requestPacket(m_address, kEchoCommand, count, data, match, &replyLength, reply);
  if (err != aErrNone) return err;
  const bool echoed = replyLength == count + 1u && (count == 0 || memcmp(reply + 1, data, count) == 0);
  return echoed ? aErrNone : aErrIO;
}

aErr Module::getBuild(uint32_t* build) {
  if (!build) return aErrParam;
  if (!m_link) return aErrInitialization;
  const uint8_t request[] = {kBuildQuery};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  aErr err = query(request, sizeof request, 2, reply, &replyLength);
  if (err != aErrNone) return err;
  if (replyLength != 6) return aErrSize;
  *build = aUEI_RetrieveInt(reply + 2);
  return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
  const bool oneDirection = flags == 0 || flags == UEI_OPTION_GET || flags == UEI_OPTION_SET;
  if (!oneDirection) return aErrParam;
  const uint8_t request[] = {kHasUEIQuery, command, option, index, flags};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  aErr err = query(request, sizeof request, 1, reply, &replyLength);
  if (err != aErrNone) return err;
  const bool answers = replyLength == 6 && reply[1] == kHasUEIQuery && memcmp(reply + 2, request + 1, 3) == 0;
  return answers ? static_cast<aErr>(reply[5]) : aErrUnknown;
}

aErr Module::countQuery(const uint8_t* request, uint8_t length, uint8_t* out) {
  if (!out) return aErrParam;
  *out = 0;
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  aErr err = query(request, length, 1, reply, &replyLength);
  if (err != aErrNone) return err;
  // The reply is the query itself (command byte first) followed by the answer.
  if (replyLength != length + 2u || memcmp(reply + 1, request, length) != 0) return aErrUnknown;
  *out = reply[length + 1];
  return aErrNone;
}

aErr Module::classQuantity(uint8_t entityClass, uint8_t* count) {
  const uint8_t request[] = {kClassQuantityQuery, entityClass};
  return countQuery(request, sizeof request, count);
}

aErr Module::subClassQuantity(uint8_t entityClass, uint8_t subClass, uint8_t* count) {
  const uint8_t request[] = {kSubClassQuantityQuery, entityClass, subClass};
  return countQuery(request, sizeof request, count);
}

aErr Module::entityGroup(uint8_t entityClass, uint8_t subClass, uint8_t* group) {
  const uint8_t request[] = {kEntityGroupQuery, entityClass, subClass};
  return countQuery(request, sizeof request, group);
}

}  // namespace Axonforge
}  // namespace Tessaron
