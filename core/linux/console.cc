// Linux console: arguments are main's, the terminal speaks UTF-8, standard output may be a file or a pipe.
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "platform.h"
#include "progress.h"
#include "signals.h"
#include "write_all.h"

std::optional<std::vector<WidePath>> ProcessArguments(int argc, char** argv) {
  if (argv == nullptr) return std::nullopt;
  return std::vector<WidePath>(argv, argv + argc);
}

namespace {

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The length of the well-formed UTF-8 sequence `text` starts with; 0 when
// its first byte starts none.
std::size_t Utf8Length(std::string_view text) {
  const auto byte = [text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  const std::size_t length = lead >= 0xF5 ? 0 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (length == 0 || text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
  }
  // No overlong forms, no surrogates, nothing past U+10FFFF.
  const unsigned char second = byte(1);
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) || (lead == 0xF0 && second < 0x90) ||
      (lead == 0xF4 && second > 0x8F)) {
    return 0;
  }
  return length;
}

// A name as ls -b shows it: control characters (C0, DEL, C1) and bytes that
// are no character escaped, a backslash doubled, the rest as it is. A name
// shown raw could move the caret, erase or recolour what is on the screen.
void AppendEscaped(std::string& out, std::string_view name) {
  static constexpr std::string_view Named = "\a\b\t\n\v\f\r", Letters = "abtnvfr", Octal = "01234567";
  while (!name.empty()) {
    const std::size_t length = Utf8Length(name);
    const auto lead = static_cast<unsigned char>(name[0]);
    const bool control =
        length == 0 || lead < 0x20 || lead == 0x7F || (lead == 0xC2 && static_cast<unsigned char>(name[1]) < 0xA0);
    const std::size_t taken = length == 0 ? 1 : length;
    if (lead == '\\') {
      out += "\\\\";
    } else if (!control) {
      out.append(name.substr(0, taken));
    } else {
      for (const char c : name.substr(0, taken)) {
        const auto byte = static_cast<unsigned char>(c);
        if (const std::size_t named = Named.find(c); named != std::string_view::npos) {
          out += {'\\', Letters[named]};
        } else {
          out += {'\\', Octal[byte >> 6], Octal[(byte >> 3) & 7], Octal[byte & 7]};
        }
      }
    }
    name.remove_prefix(taken);
  }
}

class LinuxConsole final : public Console {
 public:
  // A reader that went away must not end the run (SIGPIPE is ignored);
  // output failures are simply not examined.
  void Prepare() override { SetSignalDispositions(); }
  void WriteNarrow(NarrowText bytes) override { pending_.append(bytes); }
  void WriteWide(WideText text) override {
    for (std::size_t i = 0; i < text.size(); ++i) {
      char32_t c = text[i];
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
      } else if (c >= 0xD800 && c <= 0xDFFF) {
        c = 0xFFFD;
      }
      AppendUtf8(pending_, c);
    }
  }
  void WritePath(const WidePath& path) override {
    if (IsInteractive()) {
      AppendEscaped(pending_, path);
    } else {
      pending_ += path;
    }
  }
  void Flush() override {
    WriteAllTo(STDOUT_FILENO, reinterpret_cast<const unsigned char*>(pending_.data()), pending_.size());
    pending_.clear();
  }
  bool IsInteractive() override { return isatty(STDOUT_FILENO) == 1; }
  void DrawTransient(WideText text) override {
    // Cut to the window, one column short of its edge, so that a terminal
    // that wraps at once never moves the caret to a new line; a terminal
    // of unknown width gets the whole text.
    winsize window{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &window) == 0 && window.ws_col > 0) {
      text = FitToColumns(text, window.ws_col - 1);
    }
    // Back to the line's start, the new text, then clear what a longer
    // earlier text left to its right.
    WriteNarrow("\r");
    WriteWide(text);
    WriteNarrow("\x1b[K");
    Flush();
  }
  void EraseTransient() override {
    WriteNarrow("\r\x1b[K");
    Flush();
  }
  void BeginReport() override {
    // Keys typed while the file was processed must not end the wait early.
    if (isatty(STDIN_FILENO) == 1) tcflush(STDIN_FILENO, TCIFLUSH);
  }
  void WaitForEnter() override {
    Flush();
    if (isatty(STDIN_FILENO) != 1) {
      unsigned char byte;
      while (read(STDIN_FILENO, &byte, 1) < 0 && errno == EINTR) {
      }
      return;
    }
    // A terminal hands over at most one line a read, and the whole line
    // typed is taken, or its rest would reach the shell as a command. A
    // read that does not fill the buffer ended its line (Enter, or end of
    // input).
    char line[256];
    for (;;) {
      const ssize_t got = read(STDIN_FILENO, line, sizeof line);
      if (got < 0 && errno == EINTR) continue;
      if (got < static_cast<ssize_t>(sizeof line) || line[sizeof line - 1] == '\n') return;
    }
  }

 private:
  std::string pending_;
};

}  // namespace

Console& SystemConsole() {
  static LinuxConsole console;
  return console;
}
