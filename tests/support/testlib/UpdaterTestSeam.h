#ifndef TESTLIB_UPDATERTESTSEAM_H
#define TESTLIB_UPDATERTESTSEAM_H

#include <cstdint>
#include <string>

#include "Updater.h"

// The one way tests reach a private step of the Updater that its public operations do not show
// on their own.
class UpdaterTestSeam {
 public:
  static uint32_t _build_from_text(const std::string& text) { return Updater::_build_from_text(text); }
};

#endif
