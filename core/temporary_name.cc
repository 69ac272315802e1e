#include "temporary_name.h"

#include <string_view>
#include <type_traits>

namespace {

bool IsSeparator(PathUnit unit) {
  // A backslash is a separator only where paths are UTF-16 (Windows); on
  // POSIX it is an ordinary byte of a name.
  return unit == '/' || (sizeof(PathUnit) > 1 && (unit == '\\' || unit == ':'));
}

bool IsHighSurrogate(PathUnit unit) {
  const auto value = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<PathUnit>>(unit));
  return value >= 0xD800 && value <= 0xDBFF;  // never true of a POSIX byte
}

}  // namespace

WidePath TemporaryPathFor(const WidePath& target, std::uint32_t token) {
  std::size_t name_start = target.size();
  while (name_start > 0 && !IsSeparator(target[name_start - 1])) --name_start;
  const std::size_t name_length = target.size() - name_start;

  // "." + stem + "~" + token + ".part"
  constexpr std::size_t token_digits = 8;
  const std::size_t fixed = 1 + 1 + token_digits + 5;
  const std::size_t shortest_stem = ShortestTemporaryName - fixed;
  std::size_t stem_length = name_length > fixed + shortest_stem ? name_length - fixed : shortest_stem;
  if (stem_length > name_length) stem_length = name_length;
  // Never cut a surrogate pair in half.
  if (stem_length > 0 && IsHighSurrogate(target[name_start + stem_length - 1])) --stem_length;

  WidePath temporary = target.substr(0, name_start);
  temporary += PathUnit('.');
  temporary.append(target, name_start, stem_length);
  temporary += PathUnit('~');
  for (int shift = 28; shift >= 0; shift -= 4) temporary += PathUnit("0123456789abcdef"[(token >> shift) & 15]);
  for (char c : std::string_view(".part")) temporary += PathUnit(c);
  return temporary;
}
