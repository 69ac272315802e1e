// Test helper: keeps a file open for writing, as an editor, a download or a
// scanner would.   hold_open_for_writing PATH [alone]
// Prints "held" once the file is open, then exits at the first line on
// standard input. Status 2 when the file cannot be opened.
#include <windows.h>

#include <shellapi.h>  // after windows.h, which it depends on

int main() {
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr || count < 2) return 2;
  // Others may still read and write it: only a reader that insists on
  // exclusive writing (the tools) is turned away; "alone" turns every reader
  // away, as a scanner that shares nothing.
  const DWORD share = count > 2 ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE;
  const HANDLE file =
      CreateFileW(arguments[1], GENERIC_WRITE, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 2;
  DWORD done = 0;
  // Unbuffered: the reader sees the line as soon as this returns.
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "held\r\n", 6, &done, nullptr);
  char got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &got, 1, &done, nullptr) && done == 1 && got != '\n') {
  }
  CloseHandle(file);
  return 0;
}
