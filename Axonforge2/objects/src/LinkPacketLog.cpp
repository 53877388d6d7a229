// The packet log of a Link: the engine records the link's traffic in a ring, and a logger
// thread writes it as text to a file.

#include "LinkPacketLog.h"

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

LinkPacketLog::LinkPacketLog(Link& link) : m_link(link) {}

LinkPacketLog::~LinkPacketLog() { aLogger_Destroy(&m_logger); }

void LinkPacketLog::finish() {
  const uint32_t linkId = m_link.getLinkId();
  aLink_PacketDebug_Disable(linkId);
  if (!m_logging) return;
  m_logging = false;
  // Nothing new is recorded from here on; what is recorded already still belongs in the file.
  for (uint32_t waited = 0; waited < kFlushBudgetMs && sRecordsWaiting(linkId); ++waited) aTime_MSSleep(1);
}

void LinkPacketLog::close() {
  if (m_logging) finish();
  aLogger_Destroy(&m_logger);
}

aErr LinkPacketLog::enable(const char* path) {
  const uint32_t linkId = m_link.getLinkId();
  if (linkId == 0) return aErrConfiguration;
  aErr result = aLink_PacketDebug_Enable(linkId);
  if (result != aErrNone) return result;
  if (!m_logger) {
    m_logger = aLogger_Create(linkId, sWritePacketLogRecord, path);
    if (!m_logger) return aErrIO;
  }
  result = aLogger_Enable(m_logger);
  if (result != aErrNone) return result;
  m_logging = true;
  return aLink_PacketDebug_Write(linkId, aPACKETLOG_TEXT, sizeof kStartNote,
                                 reinterpret_cast<const uint8_t*>(kStartNote));
}

aErr LinkPacketLog::disable() {
  if (m_link.getLinkId() == 0) return aErrConfiguration;
  finish();
  return aLogger_Disable(m_logger);
}

}  // namespace Axonforge
}  // namespace Tessaron
