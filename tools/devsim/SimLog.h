#ifndef DEVSIM_SIMLOG_H
#define DEVSIM_SIMLOG_H

#include <functional>
#include <mutex>
#include <string>

namespace devsim {

// The simulator's log. Warnings (bad input, failures) are always written; the conversation
// (every packet in and out) only when verbose. Lines go to a sink, standard error by default.
class SimLog {
 public:
  using Sink = std::function<void(const std::string& line)>;

  SimLog();
  void setSink(Sink sink);
  void setVerbose(bool verbose);
  bool verbose() const;

  void conversation(const std::string& line);
  void warning(const std::string& line);

 private:
  void write(const std::string& line);

  mutable std::mutex mutex_;
  Sink sink_;
  bool verbose_ = false;
};

}  // namespace devsim

#endif
