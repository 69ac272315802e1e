#include <gtest/gtest.h>

#include "fake_platform.h"
#include "progress.h"

namespace {

using std::chrono::milliseconds;

TEST(ProgressText, ShowsPercentSizesAndSpeed) {
  EXPECT_EQ(ProgressText(0, 0, 0), u"正在处理: 100% (0 B / 0 B, 0 B/s)");
  EXPECT_EQ(ProgressText(512, 2048, 1536), u"正在处理: 25% (512 B / 2.0 KiB, 1.5 KiB/s)");
  EXPECT_EQ(ProgressText(3ULL << 30, 6ULL << 30, 800.0 * (1 << 20)), u"正在处理: 50% (3.0 GiB / 6.0 GiB, 800.0 MiB/s)");
}

// Timeline of Advance calls (ms after the start) and whether each one draws.
struct Step {
  int at_ms;
  bool draws;
};

TEST(ProgressLine, WaitsASecondThenRedrawsAtMostTenTimesASecond) {
  const Step steps[] = {{0, false}, {500, false}, {999, false}, {1000, true}, {1050, false},
                        {1099, false}, {1100, true}, {1150, false}, {1300, true}};
  FakeConsole console;
  console.interactive = true;
  const auto start = ProgressLine::Clock::time_point{} + std::chrono::hours(1);
  ProgressLine line(console, start);
  int draws = 0;
  for (const Step& step : steps) {
    line.Advance(10, 100, start + milliseconds(step.at_ms));
    draws += step.draws;
    EXPECT_EQ(console.transient_draws, draws) << step.at_ms;
  }
  line.Erase();
  EXPECT_FALSE(console.transient_shown);
  EXPECT_TRUE(console.shown.empty());
}

TEST(ProgressLine, NeverShownWhenOutputIsRedirected) {
  FakeConsole console;
  const auto start = ProgressLine::Clock::now();
  {
    ProgressLine line(console, start);
    line.Advance(1, 2, start + std::chrono::seconds(5));
  }
  EXPECT_EQ(console.transient_draws, 0);
}

}  // namespace
