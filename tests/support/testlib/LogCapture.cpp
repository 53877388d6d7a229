#include "LogCapture.h"

#include <gtest/gtest.h>

#include "Log.h"

LogCapture::LogCapture(uint32_t packages)
    : file_(std::tmpfile()), addedPackages_(packages & ~Log::PackageMask()) {
  if (!file_) ADD_FAILURE() << "no temporary file for the log";
  Log::SetOutput(file_);
  Log::ActivatePackage(packages);
}

LogCapture::~LogCapture() {
  Log::SetOutput(nullptr);
  Log::DeactivatePackage(addedPackages_);
  if (file_) std::fclose(file_);
}

std::string LogCapture::Text() const {
  if (!file_) return "";
  std::fflush(file_);
  std::string text;
  char buffer[4096];
  std::rewind(file_);
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) text.append(buffer, n);
  std::fseek(file_, 0, SEEK_END);
  return text;
}
