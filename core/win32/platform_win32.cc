// Win32 side of the platform seam: Windows 7 or later; paths are UTF-16; the console may be absent or redirected.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which they depend on.
#include <bcrypt.h>
#include <shellapi.h>

#include <cstdint>
#include <string>

#include "platform.h"
#include "temporary_name.h"

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

// ReadFile and WriteFile count in DWORDs; larger requests go in pieces.
constexpr std::size_t LargestPiece = DWORD{1} << 30;
constexpr UINT ChineseCodePage = 936;

HANDLE AsHandle(FileHandle handle) { return reinterpret_cast<HANDLE>(handle); }
FileHandle AsFileHandle(HANDLE handle) { return reinterpret_cast<FileHandle>(handle); }

bool Usable(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

bool WriteAllTo(HANDLE handle, const unsigned char* from, std::size_t count) {
  while (count > 0) {
    const DWORD piece = static_cast<DWORD>(count < LargestPiece ? count : LargestPiece);
    DWORD written = 0;
    if (!WriteFile(handle, from, piece, &written, nullptr) || written == 0) return false;
    from += written;
    count -= written;
  }
  return true;
}

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

// The temporary file to remove if the console is interrupted or closed. The
// control handler runs on a thread of its own, so the file changes hands
// (created, written, closed, moved, deleted) only under this lock.
struct PendingCleanup {
  SRWLOCK lock = SRWLOCK_INIT;
  bool armed = false;
  HANDLE open = INVALID_HANDLE_VALUE;
  std::wstring path;
};
PendingCleanup cleanup;

class CleanupLocked {
 public:
  CleanupLocked() { AcquireSRWLockExclusive(&cleanup.lock); }
  ~CleanupLocked() { ReleaseSRWLockExclusive(&cleanup.lock); }
  CleanupLocked(const CleanupLocked&) = delete;
  CleanupLocked& operator=(const CleanupLocked&) = delete;
};

BOOL WINAPI RemoveTemporaryOnInterrupt(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  AcquireSRWLockExclusive(&cleanup.lock);
  if (cleanup.armed) {
    // Opened without sharing, so it has to be closed before it can go.
    if (cleanup.open != INVALID_HANDLE_VALUE) CloseHandle(cleanup.open);
    DeleteFileW(cleanup.path.c_str());
    cleanup.open = INVALID_HANDLE_VALUE;
    cleanup.armed = false;
  }
  // The lock is kept: the main thread must not touch the file again in the
  // moment before the default handler ends the process.
  return FALSE;
}

void InstallCleanupHandler() {
  static const bool installed = SetConsoleCtrlHandler(RemoveTemporaryOnInterrupt, TRUE) != 0;
  static_cast<void>(installed);
}

std::uint32_t RandomToken() {
  std::uint32_t token = 0;
  if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&token), sizeof token,
                                      BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    // Uniqueness is what matters here, and CREATE_NEW guards it anyway.
    static std::uint32_t counter = 0;
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    token = static_cast<std::uint32_t>(now.QuadPart) ^ (GetCurrentProcessId() << 16) ^ ++counter;
  }
  return token;
}

class Win32FileSystem final : public FileSystem {
 public:
  std::optional<OpenedInput> OpenInput(const WidePath& path) override {
    // Sharing read access only: a file another process holds open for
    // writing is refused here, and nobody may start writing it meanwhile.
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION information{};
    LARGE_INTEGER size{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !GetFileSizeEx(file, &size) ||
        size.QuadPart < 0) {
      CloseHandle(file);
      return std::nullopt;
    }
    return OpenedInput{AsFileHandle(file), static_cast<std::uint64_t>(size.QuadPart)};
  }

  bool ReadExactly(FileHandle input, unsigned char* into, std::size_t count) override {
    while (count > 0) {
      const DWORD piece = static_cast<DWORD>(count < LargestPiece ? count : LargestPiece);
      DWORD got = 0;
      if (!ReadFile(AsHandle(input), into, piece, &got, nullptr) || got == 0) return false;
      into += got;
      count -= got;
    }
    return true;
  }

  bool AtEndOfInput(FileHandle input) override {
    unsigned char extra;
    DWORD got = 0;
    return ReadFile(AsHandle(input), &extra, 1, &got, nullptr) && got == 0;
  }

  void CloseInput(FileHandle input) override { CloseHandle(AsHandle(input)); }

  bool IsReadOnly(const WidePath& target) override {
    // Asked outright: some file systems' rename replaces a read-only target.
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    return (attributes & FILE_ATTRIBUTE_READONLY) != 0 && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }

  std::optional<CreatedTemporary> CreateTemporaryBeside(const WidePath& target, std::uint64_t) override {
    InstallCleanupHandler();
    for (int attempt = 0; attempt < 16; ++attempt) {
      WidePath path = TemporaryPathFor(target, RandomToken());
      // Created and armed in one step, so that no interruption falls between.
      CleanupLocked locked;
      const HANDLE file =
          CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
        return std::nullopt;
      }
      cleanup.armed = true;
      cleanup.open = file;
      cleanup.path = path;
      return CreatedTemporary{AsFileHandle(file), std::move(path)};
    }
    return std::nullopt;
  }

  bool WriteAll(FileHandle output, const unsigned char* from, std::size_t count) override {
    CleanupLocked locked;
    return WriteAllTo(AsHandle(output), from, count);
  }

  bool CloseOutput(FileHandle output) override {
    CleanupLocked locked;
    if (cleanup.open == AsHandle(output)) cleanup.open = INVALID_HANDLE_VALUE;
    return CloseHandle(AsHandle(output)) != 0;
  }

  bool ReplaceTarget(const WidePath& temporary, const WidePath& target) override {
    CleanupLocked locked;
    if (!MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return false;
    cleanup.armed = false;
    return true;
  }

  void DiscardTemporary(const WidePath& temporary) override {
    CleanupLocked locked;
    DeleteFileW(temporary.c_str());
    cleanup.armed = false;
  }
};

}  // namespace

Console& SystemConsole() {
  static Win32Console console;
  return console;
}

FileSystem& SystemFileSystem() {
  static Win32FileSystem files;
  return files;
}
