#include <gtest/gtest.h>

#include "fake_platform.h"
#include "progress.h"

TEST(ProgressText, ShowsPercentSizesAndSpeed) {
  EXPECT_EQ(ProgressText(0, 0, 0), u"正在处理: 100% (0 B / 0 B, 0 B/s)");
  EXPECT_EQ(ProgressText(512, 2048, 1536), u"正在处理: 25% (512 B / 2.0 KiB, 1.5 KiB/s)");
  EXPECT_EQ(ProgressText(3ULL << 30, 6ULL << 30, 800.0 * (1 << 20)), u"正在处理: 50% (3.0 GiB / 6.0 GiB, 800.0 MiB/s)");
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
