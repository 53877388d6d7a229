#ifndef UPDATER_UPDATESERVERREQUEST_H
#define UPDATER_UPDATESERVERREQUEST_H

#include <map>
#include <string>
#include <utility>
#include <vector>

// Client side of the update server's text protocol: one GET per question, a line-oriented
// reply whose first line starts with "ok". Stateless; every call may run on any thread.
// A null url selects the default server (DefaultServer.h). Each request returns true only when the server answered
// 200 with an "ok" status line; failures are written to the log (DEBUG_ServerComm) and, when
// `failure` is given, described there for the user (curl's text, the HTTP status, a refusal).
class UpdateServerRequest {
 public:
  static bool ping(const char* url, std::string* failure = nullptr);
  // Current build number and firmware identifier for a device; each is left unchanged when
  // the reply lacks its line.
  static bool QueryBuild(unsigned int serial, std::string& build, std::string& firmware, const char* url,
                         std::string* failure = nullptr);
  // One build as a single line of base64 text.
  static bool GetBuild(unsigned int serial, const char* firmware, const char* build, std::string& text,
                       const char* url, bool noCal, std::string* failure = nullptr);
  // Build number text -> version text ("" when the server gave none); cleared first.
  static bool GetBuildList(unsigned int serial, std::map<std::string, std::string>& builds, const char* url,
                           std::string* failure = nullptr);
  // Serial number and build for a device known only by its four fingerprint words.
  static bool GetRecoveryInfo(const unsigned int* fingerprint, unsigned int* serial, unsigned int* build,
                              const char* url);

  // The (build, version) pairs, newest version first. Entries whose version is not three
  // numbers go last, in build-text order.
  static std::vector<std::pair<std::string, std::string>> SortBuildsByVersion(
      const std::map<std::string, std::string>& builds);
  // The three parts of "major.minor.patch"; empty unless there are exactly three.
  static std::vector<std::string> SplitAxonforgeVersion(std::string version);
};

#endif
