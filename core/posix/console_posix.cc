// POSIX console: arguments are main's, the terminal speaks UTF-8, standard output may be a file or a pipe.
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform.h"
#include "progress.h"
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

class PosixConsole final : public Console {
 public:
  void Prepare() override {
    // A reader that went away must not kill the run; output failures are
    // simply not examined. (signal fails only for an invalid number.)
    static_cast<void>(signal(SIGPIPE, SIG_IGN));
  }
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
  void WritePath(const WidePath& path) override { pending_ += path; }
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
  static PosixConsole console;
  return console;
}
