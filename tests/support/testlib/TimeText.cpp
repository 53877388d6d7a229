#include "TimeText.h"

#include <cctype>

bool LooksLikeTimeText(const std::string& text) {
  // A: upper-case letter, a: lower-case letter, 9: digit, _: blank or digit; anything else literal.
  static const std::string pattern = "Aaa Aaa _9 99:99:99 9999";
  if (text.size() != pattern.size()) return false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool ok = pattern[i] == 'A'   ? std::isupper(c)
              : pattern[i] == 'a' ? std::islower(c)
              : pattern[i] == '9' ? std::isdigit(c)
              : pattern[i] == '_' ? (c == ' ' || std::isdigit(c))
                                  : c == static_cast<unsigned char>(pattern[i]);
    if (!ok) return false;
  }
  return true;
}

std::string SettingsLineValue(const std::string& settingsText, const std::string& key) {
  std::string prefix = key + "=";
  for (size_t start = 0; start < settingsText.size();) {
    size_t end = settingsText.find('\n', start);
    if (end == std::string::npos) end = settingsText.size();
    if (settingsText.compare(start, prefix.size(), prefix) == 0)
      return settingsText.substr(start + prefix.size(), end - start - prefix.size());
    start = end + 1;
  }
  return "";
}
