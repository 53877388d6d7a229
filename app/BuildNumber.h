#ifndef UPDATER_BUILDNUMBER_H
#define UPDATER_BUILDNUMBER_H

#include <cstdint>
#include <string>

// A build number written as text (the command line's -b, the server's answers, a store file
// name): its leading decimal digits as a 32-bit number. False when there are none or they do not
// fit; `build` is then left alone.
bool LeadingBuildNumber(const std::string& text, uint32_t& build);
// The same for a text that must be a build number and nothing else: decimal digits only.
bool WholeBuildNumber(const std::string& text, uint32_t& build);

#endif
