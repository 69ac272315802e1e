#include "progress.h"

#include <cstdio>

namespace {

std::u16string Ascii(const char* text) {
  std::u16string wide;
  for (; *text != '\0'; ++text) wide += static_cast<char16_t>(*text);
  return wide;
}

std::string Size(double bytes) {
  static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
}

}  // namespace

std::u16string ProgressText(std::uint64_t done, std::uint64_t total, double bytes_per_second) {
  const int percent = total == 0 ? 100 : static_cast<int>(done * 100.0 / static_cast<double>(total));
  char numbers[96];
  std::snprintf(numbers, sizeof numbers, "%d%% (%s / %s, %s/s)", percent, Size(static_cast<double>(done)).c_str(),
                Size(static_cast<double>(total)).c_str(), Size(bytes_per_second).c_str());
  return u"正在处理: " + Ascii(numbers);
}

ProgressLine::ProgressLine(Console& console, Clock::time_point start)
    : console_(console), start_(start), enabled_(console.IsInteractive()) {}

void ProgressLine::Advance(std::uint64_t done, std::uint64_t total, Clock::time_point now) {
  if (!enabled_ || now - start_ < DelayBeforeShowing) return;
  if (shown_ && now - last_drawn_ < RedrawInterval) return;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  console_.DrawTransient(ProgressText(done, total, static_cast<double>(done) / seconds));
  last_drawn_ = now;
  shown_ = true;
}

void ProgressLine::Erase() {
  if (!shown_) return;
  console_.EraseTransient();
  shown_ = false;
}
