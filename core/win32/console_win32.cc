// Win32 console: Windows 7 or later; arguments come from the UTF-16 command line; standard output may be a console, a file or a pipe.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which it depends on.
#include <shellapi.h>

#include <string>

#include "platform.h"
#include "write_all.h"

std::optional<std::vector<WidePath>> ProcessArguments(int, char**) {
  // argv went through the ANSI code page; the command line itself is exact.
  int count = 0;
  LPWSTR* split = CommandLineToArgvW(GetCommandLineW(), &count);
  if (split == nullptr) return std::nullopt;
  std::vector<WidePath> arguments;
  arguments.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) arguments.emplace_back(split[i]);
  LocalFree(split);
  return arguments;
}

namespace {

constexpr UINT ChineseCodePage = 936;

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Code page 936 bytes with Windows line ends, one character at a time so
// that a character the code page lacks costs a single "?" and nothing else.
void AppendAsChineseCodePage(std::string& out, WideText text) {
  for (std::size_t i = 0; i < text.size();) {
    const char16_t unit = text[i];
    if (unit == u'\n') {
      out += "\r\n";
      ++i;
      continue;
    }
    if (unit < 0x80) {
      out += static_cast<char>(unit);
      ++i;
      continue;
    }
    const int units = IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1]) ? 2 : 1;
    char bytes[8];
    BOOL used_default = FALSE;
    const int length = WideCharToMultiByte(ChineseCodePage, WC_NO_BEST_FIT_CHARS,
                                           reinterpret_cast<const wchar_t*>(text.data() + i), units, bytes,
                                           sizeof bytes, nullptr, &used_default);
    if (length <= 0 || used_default) {
      out += '?';
    } else {
      out.append(bytes, static_cast<std::size_t>(length));
    }
    i += static_cast<std::size_t>(units);
  }
}

void AppendWithWindowsLineEnds(std::string& out, NarrowText bytes) {
  for (char byte : bytes) {
    if (byte == '\n') out += '\r';
    out += byte;
  }
}

class Win32Console final : public Console {
 public:
  void Prepare() override {
    SetConsoleOutputCP(ChineseCodePage);
    SetConsoleCP(ChineseCodePage);
  }

  void WriteNarrow(NarrowText bytes) override { AppendWithWindowsLineEnds(pending_, bytes); }

  void WriteWide(WideText text) override {
    if (!OutputIsConsole()) {
      AppendAsChineseCodePage(pending_, text);
      return;
    }
    // What is already queued goes first, so the order on screen is the
    // order of the calls.
    Flush();
    std::wstring lines;
    lines.reserve(text.size());
    for (char16_t unit : text) {
      if (unit == u'\n') lines += L'\r';
      lines += static_cast<wchar_t>(unit);
    }
    WriteToConsole(lines);
  }

  void WritePath(const WidePath& path) override {
    WriteWide(WideText(reinterpret_cast<const char16_t*>(path.data()), path.size()));
  }

  void Flush() override {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (Usable(output)) {
      WriteAllTo(output, reinterpret_cast<const unsigned char*>(pending_.data()), pending_.size());
    }
    pending_.clear();
  }

  bool IsInteractive() override { return OutputIsConsole(); }

  void DrawTransient(WideText text) override {
    if (!OutputIsConsole()) return;
    EraseTransient();
    WriteToConsole(std::wstring(text.begin(), text.end()));
  }

  void EraseTransient() override {
    if (!OutputIsConsole()) return;
    Flush();
    // Blanks the caret's whole row and returns to its start: works on every
    // console, with or without terminal escape sequences.
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(output, &info)) return;
    const COORD row_start{0, info.dwCursorPosition.Y};
    DWORD blanked = 0;
    FillConsoleOutputCharacterW(output, L' ', static_cast<DWORD>(info.dwSize.X), row_start, &blanked);
    SetConsoleCursorPosition(output, row_start);
  }

  void BeginReport() override {
    // Keys typed while the file was processed must not end the wait early.
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(input, &mode)) FlushConsoleInputBuffer(input);
  }

  void WaitForEnter() override {
    Flush();
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (!Usable(input)) return;
    // A console in line mode returns only after Enter; anything typed
    // before it stays unread. A file or pipe gives its next byte, or
    // nothing at its end.
    char byte;
    DWORD got = 0;
    ReadFile(input, &byte, 1, &got, nullptr);
  }

 private:
  bool OutputIsConsole() {
    if (!output_is_console_known_) {
      DWORD mode = 0;
      output_is_console_ = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
      output_is_console_known_ = true;
    }
    return output_is_console_;
  }

  // WriteConsoleW shows every character the console font has, whatever the
  // console's code page.
  static void WriteToConsole(const std::wstring& text) {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    // Older consoles refuse very long single writes; never split a pair.
    constexpr std::size_t ConsolePiece = 8192;
    for (std::size_t done = 0; done < text.size();) {
      std::size_t piece = text.size() - done < ConsolePiece ? text.size() - done : ConsolePiece;
      if (piece > 1 && done + piece < text.size() && IsHighSurrogate(static_cast<char16_t>(text[done + piece - 1]))) {
        --piece;
      }
      DWORD written = 0;
      if (!WriteConsoleW(output, text.data() + done, static_cast<DWORD>(piece), &written, nullptr) || written == 0) {
        return;
      }
      done += written;
    }
  }

  std::string pending_;
  bool output_is_console_known_ = false;
  bool output_is_console_ = false;
};

}  // namespace

Console& SystemConsole() {
  static Win32Console console;
  return console;
}
