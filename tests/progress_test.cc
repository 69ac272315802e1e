// The progress line: its text, its fit to a window, and how often it is drawn.
#include <gtest/gtest.h>

#include "fake_platform.h"
#include "progress.h"

TEST(ProgressText, ShowsPercentSizesAndSpeed) {
  EXPECT_EQ(ProgressText(0, 0, 0), u"正在处理: 100% (0 B / 0 B, 0 B/s)");
  EXPECT_EQ(ProgressText(512, 2048, 1536), u"正在处理: 25% (512 B / 2.0 KiB, 1.5 KiB/s)");
  EXPECT_EQ(ProgressText(3ULL << 30, 6ULL << 30, 800.0 * (1 << 20)), u"正在处理: 50% (3.0 GiB / 6.0 GiB, 800.0 MiB/s)");
}

TEST(FitToColumns, CutsBeforeTheFirstCharacterThatWouldPassTheEdge) {
  const struct {
    std::u16string_view text;
    int columns;
    std::u16string_view fits;
  } rows[] = {
      {u"正在处理: 42%", 80, u"正在处理: 42%"},
      {u"正在处理: 42%", 9, u"正在处理:"},
      {u"正在处理", 7, u"正在处"},  // half a wide character is left out
      {u"ａ𠀀b", 3, u"ａ"},
      {u"ａ𠀀b", 4, u"ａ𠀀"},  // fullwidth form; a surrogate pair is one wide character
      {u"ab", 0, u""},
  };
  for (const auto& row : rows) EXPECT_EQ(FitToColumns(row.text, row.columns), row.fits) << row.columns;
}

// Advance calls (ms after the start) and whether each one draws; on a redirected output none does.
TEST(ProgressLine, WaitsASecondThenRedrawsAtMostTenTimesASecond) {
  const std::pair<int, bool> steps[] = {{0, false},    {500, false}, {999, false},  {1000, true}, {1050, false},
                                        {1099, false}, {1100, true}, {1150, false}, {1300, true}};
  for (const bool interactive : {true, false}) {
    FakeConsole console;
    console.interactive = interactive;
    const auto start = ProgressLine::Clock::time_point{} + std::chrono::hours(1);
    ProgressLine line(console, start);
    int draws = 0;
    for (const auto& [at_ms, step_draws] : steps) {
      line.Advance(10, 100, start + std::chrono::milliseconds(at_ms));
      EXPECT_EQ(console.transient_draws, draws += step_draws && interactive) << at_ms;
    }
    line.Erase();
    EXPECT_FALSE(console.transient_shown);
  }
}
