// Windows 7 or later; FormatMessageW in the user's language; a failure's path in the \\?\ form every call here uses.
#include "windows_headers.h"

#include <iterator>

#include "platform.h"

Failure SystemFailure(Step step, const WidePath& path, std::uint32_t code) {
  wchar_t words[512];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, words,
                                static_cast<DWORD>(std::size(words)), nullptr);
  // The system ends its words with a line break; the diagnostic line has its own.
  while (length > 0 && (words[length - 1] == L'\r' || words[length - 1] == L'\n' || words[length - 1] == L' ')) {
    --length;
  }
  return Failure{step, path, code, std::u16string(words, words + length)};
}
