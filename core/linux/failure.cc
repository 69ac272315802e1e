// Linux; glibc's strerror_r (the GNU form, which returns its text); messages in the C locale's ASCII.
#include <cstring>

#include "platform.h"

Failure SystemFailure(Step step, const WidePath& path, std::uint32_t code) {
  char buffer[256];
  const char* const words = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
  std::u16string message;
  for (const char* c = words; *c != '\0'; ++c) message += static_cast<char16_t>(static_cast<unsigned char>(*c));
  return Failure{step, path, code, std::move(message)};
}
