#include "BuildNumber.h"

#include <cctype>
#include <limits>
#include <stdexcept>

bool LeadingBuildNumber(const std::string& text, uint32_t& build) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  try {
    unsigned long long number = std::stoull(text);
    if (number > std::numeric_limits<uint32_t>::max()) return false;
    build = static_cast<uint32_t>(number);
    return true;
  } catch (const std::out_of_range&) {
    return false;
  }
}

bool WholeBuildNumber(const std::string& text, uint32_t& build) {
  return text.find_first_not_of("0123456789") == std::string::npos && LeadingBuildNumber(text, build);
}
