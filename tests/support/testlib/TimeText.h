#ifndef TESTLIB_TIMETEXT_H
#define TESTLIB_TIMETEXT_H

#include <string>

// Whether text has the form of a ctime stamp without its line end, e.g. "Tue Mar  5 14:02:11 2024".
bool LooksLikeTimeText(const std::string& text);

// The value after "KEY=" on the line of a settings text that starts with the key; "" when absent.
std::string SettingsLineValue(const std::string& settingsText, const std::string& key);

#endif
