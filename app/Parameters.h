#ifndef UPDATER_PARAMETERS_H
#define UPDATER_PARAMETERS_H

#include <cstdint>
#include <string>

#include "Commands.h"
#include "DefaultServer.h"

// Transport values of the -t option: link types, plus the recovery pseudo-transport.
const uint32_t TRANSPORT_INVALID = 0;
const uint32_t TRANSPORT_USB = 1;
const uint32_t TRANSPORT_TCPIP = 2;
const uint32_t TRANSPORT_RECOVER = 0xFF;

// The parsed command line, with the values the fields hold before parsing.
struct Parameters {
  CommandsClass commands;
  uint32_t serialNumber = 0;
  uint32_t routerSerial = 0;
  uint32_t transport = TRANSPORT_USB;
  bool transportGiven = false;
  std::string serialPort;
  uint32_t baudRate = 115200;
  uint8_t moduleAddress = 0;
  std::string birdFile;
  std::string historyMessage;  // stored only
  std::string build;           // decimal text; replaced by a successful download
  bool echo = false;           // stored only
  std::string serverUrl = UPDATER_DEFAULT_SERVER_URL;
  bool optionN = false;        // stored only
  std::string storageDir;
  std::string programName;
  std::string homeDir;
  std::string logMode = "a+";  // the log always goes to standard error
  std::string logFile = "Updater.log";  // stored only
  bool overrideModel = false;
  bool ueiBytesLoad = true;
  uint32_t logMask = 0;
  bool logMaskGiven = false;
  bool help = false;
  bool json = false;  // --json: results as JSON documents on standard output, for scripts
};

#endif
