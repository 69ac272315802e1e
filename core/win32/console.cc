// Windows 7 or later; arguments from the UTF-16 command line; stdin and stdout each a console, a file or a pipe.
// windows.h first, with the settings every file here shares; shellapi.h depends on it.
#include "windows_headers.h"

#include <shellapi.h>

#include <atomic>
#include <string>
#include <string_view>

#include "platform.h"
#include "progress.h"
#include "signals.h"
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
    const int length =
        WideCharToMultiByte(ChineseCodePage, WC_NO_BEST_FIT_CHARS, reinterpret_cast<const wchar_t*>(text.data() + i),
                            units, bytes, sizeof bytes, nullptr, &used_default);
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

void AppendWithConsoleLineEnds(std::wstring& out, std::wstring_view text) {
  for (wchar_t unit : text) {
    if (unit == L'\n') out += L'\r';
    out += unit;
  }
}

// Code page 936 never takes more than one UTF-16 unit per byte.
std::wstring FromChineseCodePage(NarrowText bytes) {
  if (bytes.empty()) return {};
  std::wstring text(bytes.size(), L'\0');
  const int length = MultiByteToWideChar(ChineseCodePage, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                                         static_cast<int>(text.size()));
  text.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
  return text;
}

// WriteConsoleW shows every character the console font has, whatever the
// console's code page.
void WriteToConsole(std::wstring_view text) {
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

// The console is shared with whatever started the program (a command
// prompt), so what Prepare changes is given back: the input mode before the
// report, the code pages when the program ends, by returning from main or by
// a console control event (see signals.cc). A killed process cannot
// give anything back.
struct FoundAtStart {
  UINT output_code_page = 0;
  UINT input_code_page = 0;
  DWORD input_mode = 0;
  std::atomic<bool> input_mode_changed{false};
};
FoundAtStart found;

void GiveBackInputMode() {
  if (found.input_mode_changed.exchange(false)) SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), found.input_mode);
}

class Win32Console final : public Console {
 public:
  ~Win32Console() override { GiveBackConsole(); }

  void Prepare() override {
    found.output_code_page = GetConsoleOutputCP();
    found.input_code_page = GetConsoleCP();
    SetConsoleOutputCP(ChineseCodePage);
    SetConsoleCP(ChineseCodePage);
    InstallConsoleEventHandler();  // gives back the code pages, and the mode noted below
    // In quick-edit mode one click starts a selection, and every console
    // write then blocks until it ends: the progress line would stop the copy.
    // With quick-edit off, mouse input makes the console report the mouse:
    // Windows Terminal then captures it, and moves fill the input. Both are
    // off during the work.
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(input, &mode)) return;
    // Quick-edit and insert mode are reported, and applied, only along with
    // ENABLE_EXTENDED_FLAGS. Without it their state is unknown: a mode set
    // without it leaves them as they are, and so does giving this one back.
    DWORD work_mode = mode & ~DWORD{ENABLE_MOUSE_INPUT};
    if (mode & ENABLE_EXTENDED_FLAGS) work_mode &= ~DWORD{ENABLE_QUICK_EDIT_MODE};
    if (work_mode == mode) return;
    // Noted first: the console may apply a mode and still report a failure.
    found.input_mode = mode;
    found.input_mode_changed = true;
    SetConsoleMode(input, work_mode);
  }

  // On a console everything goes out as UTF-16, so the texts read right even
  // where the switch to code page 936 was refused; elsewhere as code page 936.
  void WriteNarrow(NarrowText bytes) override {
    if (OutputIsConsole()) {
      AppendWithConsoleLineEnds(console_pending_, FromChineseCodePage(bytes));
    } else {
      AppendWithWindowsLineEnds(pending_, bytes);
    }
  }

  void WriteWide(WideText text) override {
    if (OutputIsConsole()) {
      AppendWithConsoleLineEnds(console_pending_, {reinterpret_cast<const wchar_t*>(text.data()), text.size()});
    } else {
      AppendAsChineseCodePage(pending_, text);
    }
  }

  void WritePath(const WidePath& path) override {
    WriteWide(WideText(reinterpret_cast<const char16_t*>(path.data()), path.size()));
  }

  void Flush() override {
    if (OutputIsConsole()) {
      WriteToConsole(console_pending_);
      console_pending_.clear();
      return;
    }
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
    // Cut to the window, one column short of its edge so the caret never
    // wraps to a new row that erasing would miss.
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
      text = FitToColumns(text, info.srWindow.Right - info.srWindow.Left);
    }
    WriteToConsole({reinterpret_cast<const wchar_t*>(text.data()), text.size()});
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
    // The report can be selected and copied again.
    GiveBackInputMode();
  }

  void WaitForEnter() override {
    Flush();
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (!Usable(input)) return;
    DWORD got = 0;
    DWORD mode = 0;
    if (GetConsoleMode(input, &mode)) {
      // In line mode a read returns once Enter is pressed, but only as much
      // of the line as fits; the rest would go to the command prompt. A
      // short read, or one ending the line, has taken all of it.
      wchar_t line[256];
      while (ReadConsoleW(input, line, 256, &got, nullptr) && got == 256 && line[255] != L'\n') {
      }
      return;
    }
    // A file or pipe gives its next byte, or nothing at its end.
    char byte;
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

  std::string pending_;  // for a file or pipe
  std::wstring console_pending_;
  bool output_is_console_known_ = false;
  bool output_is_console_ = false;
};

}  // namespace

void GiveBackConsole() {
  GiveBackInputMode();
  if (found.output_code_page != 0) SetConsoleOutputCP(found.output_code_page);
  if (found.input_code_page != 0) SetConsoleCP(found.input_code_page);
}

Console& SystemConsole() {
  static Win32Console console;
  return console;
}
