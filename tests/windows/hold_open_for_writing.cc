// Test helper: keeps a file open for writing, as an editor or a download in
// progress would, so that a run can be shown to refuse it.
//   hold_open_for_writing PATH [MILLISECONDS]
// Prints "held" once the file is open, then waits for a line on standard
// input (or the given time) and exits. Status 2 when the file cannot be opened.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which it depends on.
#include <shellapi.h>

#include <cstring>
#include <cwchar>

namespace {

void WriteLine(DWORD stream, const char* text) {
  const HANDLE handle = GetStdHandle(stream);
  DWORD written = 0;
  // Unbuffered: the reader sees the line as soon as this returns.
  WriteFile(handle, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

void WaitForLine() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  char byte = 0;
  DWORD got = 0;
  while (ReadFile(input, &byte, 1, &got, nullptr) && got == 1 && byte != '\n') {
  }
}

}  // namespace

int main() {
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr || count < 2) {
    WriteLine(STD_ERROR_HANDLE, "usage: hold_open_for_writing PATH [MILLISECONDS]\r\n");
    return 2;
  }
  // Others may still read and write it: only a reader that insists on
  // exclusive writing (the tools) is turned away.
  const HANDLE file = CreateFileW(arguments[1], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    WriteLine(STD_ERROR_HANDLE, "cannot open the file for writing\r\n");
    return 2;
  }
  WriteLine(STD_OUTPUT_HANDLE, "held\r\n");
  if (count >= 3) {
    Sleep(static_cast<DWORD>(std::wcstoul(arguments[2], nullptr, 10)));
  } else {
    WaitForLine();
  }
  CloseHandle(file);
  LocalFree(arguments);
  return 0;
}
