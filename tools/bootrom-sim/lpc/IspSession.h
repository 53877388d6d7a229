#ifndef BOOTROMSIM_ISPSESSION_H
#define BOOTROMSIM_ISPSESSION_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "IspConfig.h"
#include "Lpc17xxMemory.h"

namespace lpcsim {

// The LPC17xx in-system-programming boot loader as a byte machine: bytes from the host go in
// one at a time; answers, the time the chip is busy and notes for the log come out through the
// callbacks. Auto-baud synchronisation ("?", "Synchronized", crystal frequency), echo, the
// command set with its return codes, uuencoded RAM writes and reads with a checksum every
// 20 lines, and flash that follows the chip's prepare, erase and copy rules.
class IspSession {
 public:
  struct Io {
    std::function<void(const std::string&)> send;  // bytes to the host
    std::function<void(uint32_t ms)> busy;         // the chip works this long before going on
    std::function<void(const std::string&)> note;  // what happened, for the log
  };

  IspSession(const IspConfig& config, Lpc17xxMemory& memory, Io io);

  void feed(uint8_t byte);
  // True once a Go command has handed the chip over to user code; input is ignored then.
  bool started() const { return state_ == State::Started; }
  uint32_t startAddress() const { return startAddress_; }

 private:
  enum class State { AwaitSync, SyncWord, Crystal, Command, WriteData, ReadAck, Started, Silent };

  void onLine(const std::string& line);
  void command(const std::string& line);
  void reply(uint32_t code);
  void writeDataLine(const std::string& line);
  void sendReadBlock();
  void readAck(const std::string& line);
  // True (once) when this checksum exchange is the one the fault switch names.
  bool injectChecksumFault();

  uint32_t doUnlock(const std::vector<uint32_t>& args);
  uint32_t doBaud(const std::vector<uint32_t>& args);
  uint32_t doEcho(const std::vector<uint32_t>& args);
  // W and R: checks the address and count, then moves to next (WriteData or ReadAck).
  uint32_t startTransfer(const std::vector<uint32_t>& args, State next);
  uint32_t doPrepare(const std::vector<uint32_t>& args);
  uint32_t doCopy(const std::vector<uint32_t>& args);
  uint32_t doGo(const std::vector<uint32_t>& args, const std::string& mode);
  uint32_t doErase(const std::vector<uint32_t>& args);
  uint32_t doBlankCheck(const std::vector<uint32_t>& args, std::string* extra);
  uint32_t doCompare(const std::vector<uint32_t>& args, std::string* extra);
  uint32_t sectorRangeCode(const std::vector<uint32_t>& args) const;

  IspConfig config_;
  Lpc17xxMemory& memory_;
  Io io_;
  State state_ = State::AwaitSync;
  bool echo_ = true;
  bool unlocked_ = false;
  std::string line_;
  bool lineOverflow_ = false;
  uint32_t checksumExchanges_ = 0;
  uint32_t copies_ = 0;
  bool faultSpent_ = false;
  uint32_t startAddress_ = 0;

  // The RAM write or memory read in progress.
  uint32_t transferAddress_ = 0;
  uint32_t transferCount_ = 0;
  uint32_t transferDone_ = 0;  // bytes confirmed by a checksum
  std::vector<uint8_t> block_;
  uint32_t blockLines_ = 0;
  bool blockBad_ = false;
};

}  // namespace lpcsim

#endif
