#ifndef AXONFORGE2_LINKPACKETLOG_H
#define AXONFORGE2_LINKPACKETLOG_H

// The packet log of one Link: the engine records the link's traffic in a ring, and a logger
// thread writes it as text to a file, one record a line ("<length> <direction> <bytes>").
// Each Link has one (Link::packetLog()); it goes with the engine link.
//
// Every operation returns an aErr and never throws.

#include "Link.h"
#include "aError.h"
#include "aLogger.h"

namespace Tessaron {
namespace Axonforge {

class LinkPacketLog {
 public:
  explicit LinkPacketLog(Link& link);
  ~LinkPacketLog();
  LinkPacketLog(const LinkPacketLog&) = delete;
  LinkPacketLog& operator=(const LinkPacketLog&) = delete;

  // Records the link's traffic and writes it to path (appended). aErrConfiguration without an
  // engine link, aErrIO when the file cannot be opened.
  aErr enable(const char* path);
  // Stops recording; what was recorded is written before this returns.
  aErr disable();
  // The same, then the logger goes: it reads the records of this link id only. The Link calls
  // it before its engine link goes.
  void close();

 private:
  void finish();

  Link& m_link;
  aLogger* m_logger = nullptr;
  bool m_logging = false;  // the logger runs for this link id
};

}  // namespace Axonforge
}  // namespace Tessaron

#endif
