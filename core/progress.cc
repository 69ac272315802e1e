// Any platform; the console only through the seam; a steady clock; called on the run's one thread.
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
  // The largest 64-bit size reads "16777216.0 TiB": never cut.
  char text[32];
  const int length = std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return length > 0 ? text : "";
}

bool IsWide(char32_t c) {
  // East Asian Wide and Fullwidth blocks: Hangul Jamo, CJK and Yi, Hangul
  // syllables, compatibility ideographs, vertical and fullwidth forms, and
  // the supplementary ideograph planes.
  return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) || (c >= 0xAC00 && c <= 0xD7A3) ||
         (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
         (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

}  // namespace

WideText FitToColumns(WideText text, int columns) {
  std::size_t end = 0;
  while (end < text.size()) {
    char32_t c = text[end];
    std::size_t units = 1;
    if (c >= 0xD800 && c <= 0xDBFF && end + 1 < text.size() && text[end + 1] >= 0xDC00 && text[end + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[end + 1] - 0xDC00);
      units = 2;
    }
    columns -= IsWide(c) ? 2 : 1;
    if (columns < 0) break;
    end += units;
  }
  return text.substr(0, end);
}

std::u16string ProgressText(std::uint64_t done, std::uint64_t total, double bytes_per_second) {
  const int percent =
      total == 0 ? 100 : static_cast<int>(static_cast<double>(done) * 100.0 / static_cast<double>(total));
  char numbers[128];  // room for three sizes of 31 bytes: never cut
  if (std::snprintf(numbers, sizeof numbers, "%d%% (%s / %s, %s/s)", percent, Size(static_cast<double>(done)).c_str(),
                    Size(static_cast<double>(total)).c_str(), Size(bytes_per_second).c_str()) < 0) {
    numbers[0] = '\0';
  }
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
