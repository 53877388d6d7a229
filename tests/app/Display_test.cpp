#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "CLI_Display.h"
#include "ChildProgram.h"
#include "FdCapture.h"
#include "RecordingDisplay.h"

namespace {

std::string Blanked() { return "\r" + std::string(88, ' ') + "\r"; }

TEST(DisplayMessage, RoutesByLevelAndHonoursMute) {
  RecordingDisplay display;
  display.message(UpdaterDisplayInterface::LEVEL_ERROR, "bad %d", 1);
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "fine %s", "x");
  display.message(7, "odd level");  // anything but 1 is information
  display.mute_messages(true);
  display.message(UpdaterDisplayInterface::LEVEL_ERROR, "hidden");
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "hidden");
  display.mute_messages(false);
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "back");
  EXPECT_EQ(display.Transcript(), "E: bad 1\nfine x\nodd level\nback\n");
}

TEST(DisplayMessage, CutsLongTextTo2047Characters) {
  RecordingDisplay display;
  std::string huge(5000, 'y');
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", huge.c_str());
  ASSERT_EQ(display.Infos().size(), 1u);
  EXPECT_EQ(display.Infos()[0], huge.substr(0, 2047));
}

TEST(CLIDisplay, MessagesGoToTheirStreamsWithALineFeed) {
  CLI_Display display;
  FdCapture out(STDOUT_FILENO, FdCapture::ToFile);
  FdCapture err(STDERR_FILENO, FdCapture::ToFile);
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "to %s", "stdout");
  display.message(UpdaterDisplayInterface::LEVEL_ERROR, "to %s", "stderr");
  display.message(2, "also stdout");
  std::string errText = err.Finish();
  std::string outText = out.Finish();
  EXPECT_EQ(outText, "to stdout\nalso stdout\n");
  EXPECT_EQ(errText, "to stderr\n");
}

TEST(CLIDisplay, RedirectedOutputGetsNoBarsOrSpinners) {
  CLI_Display display;
  FdCapture out(STDOUT_FILENO, FdCapture::ToFile);
  display.display_progress(true);
  display.update_progress(0.5, nullptr);
  display.update_progress(0.7, "Flash");
  display.display_progress(false);
  display.update_spinner(true, "Downloading");
  display.update_spinner(false, "Downloading");
  display.info_message("still shown");
  EXPECT_EQ(out.Finish(), "still shown\n");
}

TEST(CLIDisplay, ProgressBarOnATerminal) {
  CLI_Display display;
  FdCapture tty(STDOUT_FILENO, FdCapture::ToTerminal);
  display.display_progress(true);  // draws nothing: the first update draws the bar
  display.update_progress(0.5, nullptr);
  display.update_progress(0.25, "Flash");
  display.update_progress(1.0, nullptr);
  display.display_progress(false);
  std::string expected = "\r[" + std::string(34, '=') + ">" + std::string(34, ' ') + "] ( 50% ) ";
  // With a label the bar is 69 - 5 - 4 = 60 wide: 15 filled, 44 blank.
  expected += "\r (Flash) [" + std::string(15, '=') + ">" + std::string(44, ' ') + "] ( 25% ) ";
  expected += "\r[" + std::string(69, '=') + "> ] (100% ) ";
  expected += Blanked();
  EXPECT_EQ(tty.Finish(), expected);
}

TEST(CLIDisplay, ProgressStaysInsideTheBarForOddInput) {
  CLI_Display display;
  FdCapture tty(STDOUT_FILENO, FdCapture::ToTerminal);
  display.update_progress(-3.0, nullptr);
  display.update_progress(7.5, nullptr);
  std::string longLabel(70, 'L');
  display.update_progress(0.5, longLabel.c_str());
  std::string expected = "\r[>" + std::string(68, ' ') + "] (  0% ) ";
  expected += "\r[" + std::string(69, '=') + "> ] (100% ) ";
  expected += "\r (" + longLabel + ") ( 50% ) ";
  EXPECT_EQ(tty.Finish(), expected);
}

// The spinner position is process-wide, so the frame sequence is checked in a fresh process.
void SpinNineTimesFromAFreshStart() {
  CLI_Display display;
  FdCapture tty(STDOUT_FILENO, FdCapture::ToTerminal);
  for (int i = 0; i < 9; ++i) display.update_spinner(true, nullptr);
  display.update_spinner(true, "Downloading");
  display.update_spinner(false, nullptr);
  std::string got = tty.Finish();
  std::string expected;
  for (const char* frame : {".", "..", "...", "....", ".....", "....", "...", "..", "."})
    expected += std::string("\r ") + frame + "      \r";
  expected += "\r (Downloading) ..      \r";
  expected += Blanked();
  if (got != expected) {
    fprintf(stderr, "spinner output differs:\n[%s]\n", got.c_str());
    _exit(1);
  }
  _exit(0);
}

TEST(CLIDisplay, SpinnerCyclesThroughItsEightFrames) {
  GTEST_FLAG_SET(death_test_style, FreshProcessDeathTestStyle());
  EXPECT_EXIT(SpinNineTimesFromAFreshStart(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
