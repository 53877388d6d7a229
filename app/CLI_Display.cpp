#include "CLI_Display.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

const int kLineWidth = 88;
const int kBarWidth = 69;
const char kBarSource[] = "=====================================================================";
static_assert(sizeof kBarSource - 1 == kBarWidth, "the bar source is as wide as the bar");
const char* const kSpinnerFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};

}  // namespace

CLI_Display::CLI_Display(std::FILE* infoStream) : out(infoStream) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
}

bool CLI_Display::onTerminal() const { return isatty(fileno(out)) == 1; }

void CLI_Display::blankLine() { std::fprintf(out, "\r%*s\r", kLineWidth, " "); }

void CLI_Display::display_progress(bool show) {
  if (onTerminal() && !show) blankLine();
}

void CLI_Display::update_progress(double fraction, const char* label) {
  if (!onTerminal()) return;
  if (!(fraction >= 0.0)) fraction = 0.0;  // also catches NaN
  if (fraction > 1.0) fraction = 1.0;
  int percent = static_cast<int>(fraction * 100);
  int width = label ? kBarWidth - static_cast<int>(std::strlen(label)) - 4 : kBarWidth;
  if (width < 1) {
    // A label this long leaves no room for a bar: show label and percentage only.
    std::fprintf(out, "\r (%s) (%3d%% ) ", label, percent);
    return;
  }
  int filled = static_cast<int>(width * fraction);
  if (label)
    std::fprintf(out, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBarSource, width - filled - 1, "", percent);
  else
    std::fprintf(out, "\r[%.*s>%*s] (%3d%% ) ", filled, kBarSource, width - filled - 1, "", percent);
}

void CLI_Display::update_spinner(bool on, const char* label) {
  static uint8_t count = 0;
  if (!onTerminal()) return;
  if (!on) {
    blankLine();
    return;
  }
  if (label)
    std::fprintf(out, "\r (%s) %s      \r", label, kSpinnerFrames[count]);
  else
    std::fprintf(out, "\r %s      \r", kSpinnerFrames[count]);
  count = (count + 1) & 7;
}

void CLI_Display::info_message(const char* text) { std::fprintf(out, "%s\n", text); }

void CLI_Display::error_message(const char* text) { std::fprintf(stderr, "%s\n", text); }
