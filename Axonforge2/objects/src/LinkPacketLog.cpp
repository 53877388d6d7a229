// The packet log of a Link: the engine records the link's traffic in a ring, and a logger
// thread writes it as text to a file.

#include "Link.h"
#include "LinkImpl.h"
#include "aFile.h"
#include "aLink.h"
#include "aTime.h"

namespace Tessaron {
namespace Axonforge {

namespace {

constexpr uint32_t kRecordBufferSize = 64;
constexpr uint32_t kIdleSleepMs = 5;
// Longest wait for the logger to write what the log holds when it is switched off.
constexpr uint32_t kFlushBudgetMs = 2000;
const char kStartNote[] = "START";

// One record per call, as "<length> <direction> <bytes>\r\n"; text notes are written as
// characters, packets as hexadecimal bytes.
void sWritePacketLogRecord(aFile* file, uint32_t linkId) {
  uint8_t direction = 0;
  uint32_t length = kRecordBufferSize;
  uint8_t buffer[kRecordBufferSize];
  if (aLink_PacketDebug_Read(linkId, &direction, &length, buffer) != aErrNone) {
    aTime_MSSleep(kIdleSleepMs);
    return;
  }
  aFile_Printf(file, "%d %s ", static_cast<int>(length), direction == aPACKETLOG_SENT ? ">" : "<");
  for (uint32_t i = 0; i < length; ++i) {
    if (direction == aPACKETLOG_TEXT) {
      aFile_Printf(file, "%c", buffer[i]);
    } else {
      aFile_Printf(file, "0x%X ", buffer[i]);
    }
  }
  aFile_Printf(file, "\r\n");
}

// Whether records wait in the link's packet log. A read without room takes nothing and says
// there is one; only a record of no bytes at all is taken (and so not written).
bool sRecordsWaiting(uint32_t linkId) {
  uint8_t direction = 0;
  uint32_t room = 0;
  const aErr result = aLink_PacketDebug_Read(linkId, &direction, &room, nullptr);
  return result == aErrOverrun || result == aErrNone;
}

}  // namespace

void Link::impl::finishPacketLog() {
  aLink_PacketDebug_Disable(linkId);
  if (!packetLogging) return;
  packetLogging = false;
  // Nothing new is recorded from here on; what is recorded already still belongs in the file.
  for (uint32_t waited = 0; waited < kFlushBudgetMs && sRecordsWaiting(linkId); ++waited) aTime_MSSleep(1);
}

void Link::impl::closePacketLog() {
  if (packetLogging) finishPacketLog();
  aLogger_Destroy(&packetLogger);
}

aErr Link::enablePacketLog(const char* path) {
  const uint32_t linkId = m_impl->linkId;
  if (linkId == 0) return aErrConfiguration;
  aErr result = aLink_PacketDebug_Enable(linkId);
  if (result != aErrNone) return result;
  if (!m_impl->packetLogger) {
    m_impl->packetLogger = aLogger_Create(linkId, sWritePacketLogRecord, path);
    if (!m_impl->packetLogger) return aErrIO;
  }
  result = aLogger_Enable(m_impl->packetLogger);
  if (result != aErrNone) return result;
  m_impl->packetLogging = true;
  return aLink_PacketDebug_Write(linkId, aPACKETLOG_TEXT, sizeof kStartNote,
                                 reinterpret_cast<const uint8_t*>(kStartNote));
}

aErr Link::disablePacketLog() {
  if (m_impl->linkId == 0) return aErrConfiguration;
  m_impl->finishPacketLog();
  return aLogger_Disable(m_impl->packetLogger);
}

}  // namespace Axonforge
}  // namespace Tessaron
