// Any platform; the console only through the seam; a steady clock; called on the run's one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform.h"

// A line redrawn in place while a long run goes on, on an interactive
// console only, and erased before the report, so the final screen holds just
// the run's own texts. Runs shorter than DelayBeforeShowing never show it.
class ProgressLine {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration DelayBeforeShowing = std::chrono::seconds(1);
  static constexpr Clock::duration RedrawInterval = std::chrono::milliseconds(100);

  explicit ProgressLine(Console& console, Clock::time_point start = Clock::now());
  ~ProgressLine() { Erase(); }
  void Advance(std::uint64_t done, std::uint64_t total, Clock::time_point now = Clock::now());
  void Erase();

 private:
  Console& console_;
  const Clock::time_point start_;
  Clock::time_point last_drawn_{};
  const bool enabled_;
  bool shown_ = false;
};

// "正在处理: 42% (1.5 GiB / 3.6 GiB, 812.4 MiB/s)"
std::u16string ProgressText(std::uint64_t done, std::uint64_t total, double bytes_per_second);

// The longest start of `text` that fits in `columns` terminal columns, East
// Asian wide characters taking two; a character is never split.
WideText FitToColumns(WideText text, int columns);
