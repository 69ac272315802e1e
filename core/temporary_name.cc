// Any platform; names in the platform's units: bytes (UTF-8 where valid) on Linux, UTF-16 on Windows.
#include "temporary_name.h"

#include <string_view>
#include <type_traits>

namespace {

bool IsSeparator(PathUnit unit) {
  // A backslash is a separator only where paths are UTF-16 (Windows); on
  // POSIX it is an ordinary byte of a name.
  return unit == '/' || (sizeof(PathUnit) > 1 && (unit == '\\' || unit == ':'));
}

// False for the units that continue a character: a UTF-8 continuation byte on
// POSIX, the low half of a surrogate pair on Windows. File systems that keep
// names as Unicode (exFAT, FAT, NTFS) refuse a name that ends inside one.
bool StartsCharacter(PathUnit unit) {
  const auto value = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<PathUnit>>(unit));
  return sizeof(PathUnit) > 1 ? value < 0xDC00 || value > 0xDFFF : (value & 0xC0) != 0x80;
}

std::size_t NameStart(const WidePath& path) {
  std::size_t start = path.size();
  while (start > 0 && !IsSeparator(path[start - 1])) --start;
  return start;
}

constexpr std::size_t TokenDigits = 8;
constexpr std::string_view PartSuffix = ".part";

}  // namespace

WidePath TemporaryPathFor(const WidePath& target, std::uint32_t token) {
  const std::size_t name_start = NameStart(target);
  std::size_t characters = 0;
  for (std::size_t i = name_start; i < target.size(); ++i) characters += StartsCharacter(target[i]);

  // "." + stem + "~" + token + ".part": as many characters as it adds, the
  // stem leaves out, so the name grows neither in bytes nor in UTF-16 units.
  constexpr std::size_t fixed = 1 + 1 + TokenDigits + PartSuffix.size();
  constexpr std::size_t shortest_stem = ShortestTemporaryName - fixed;
  const std::size_t stem_characters = characters > ShortestTemporaryName ? characters - fixed : shortest_stem;
  std::size_t stem_end = name_start;
  for (std::size_t kept = 0; stem_end < target.size(); ++stem_end) {
    if (StartsCharacter(target[stem_end]) && kept++ == stem_characters) break;
  }

  WidePath temporary = target.substr(0, name_start);
  temporary += PathUnit('.');
  temporary.append(target, name_start, stem_end - name_start);
  temporary += PathUnit('~');
  for (int shift = 28; shift >= 0; shift -= 4) temporary += PathUnit("0123456789abcdef"[(token >> shift) & 15]);
  for (char c : PartSuffix) temporary += PathUnit(c);
  return temporary;
}

bool IsTemporaryNameFor(const WidePath& target, const WidePath& name) {
  const WidePath own = TemporaryPathFor(target, 0);
  const std::size_t own_start = NameStart(own);
  const std::size_t token_at = own.size() - PartSuffix.size() - TokenDigits;
  if (name.size() != own.size() - own_start ||
      name.compare(0, token_at - own_start, own, own_start, token_at - own_start) != 0 ||
      name.compare(name.size() - PartSuffix.size(), PartSuffix.size(), own, own.size() - PartSuffix.size()) != 0) {
    return false;
  }
  for (std::size_t i = token_at - own_start; i < token_at - own_start + TokenDigits; ++i) {
    if (!((name[i] >= '0' && name[i] <= '9') || (name[i] >= 'a' && name[i] <= 'f'))) return false;
  }
  return true;
}

void ClearLeftovers(const WidePath& target, LeftoverFolder& folder) {
  for (const WidePath& name : folder.Names()) {
    if (IsTemporaryNameFor(target, name)) folder.RemoveIfAbandoned(name);
  }
}
