#ifndef UPDATER_CAUSEDERROR_H
#define UPDATER_CAUSEDERROR_H

#include <stdexcept>
#include <string>

// An exception whose what() is the system's fixed message and whose cause() tells the user why
// (a file that is missing, not a BIRD file, damaged ...), shown on a line of its own.
class CausedError : public std::runtime_error {
 public:
  CausedError(const std::string& what, const std::string& cause) : std::runtime_error(what), cause_(cause) {}
  const std::string& cause() const { return cause_; }

  // The cause of any exception: cause() of a CausedError, else what().
  static std::string CauseOf(const std::exception& error) {
    const CausedError* caused = dynamic_cast<const CausedError*>(&error);
    return caused != nullptr ? caused->cause() : error.what();
  }

 private:
  std::string cause_;
};

#endif
