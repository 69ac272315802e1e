#include "file_mask.h"

#include <algorithm>
#include <cstring>

void MaskBytes(unsigned char* bytes, std::size_t count) {
  // Whole machine words at a time; the compiler widens this to vector
  // registers. memcpy keeps the loads and stores free of alignment traps.
  constexpr std::uint64_t word_mask = 0x0101010101010101ULL * MaskByte;
  std::size_t i = 0;
  for (; i + 4 * sizeof(std::uint64_t) <= count; i += 4 * sizeof(std::uint64_t)) {
    std::uint64_t words[4];
    std::memcpy(words, bytes + i, sizeof words);
    for (std::uint64_t& word : words) word ^= word_mask;
    std::memcpy(bytes + i, words, sizeof words);
  }
  for (; i < count; ++i) bytes[i] ^= MaskByte;
}

namespace {

// Streams `size` bytes from input to output through `buffer`.
MaskOutcome TransferMasked(FileSystem& files, FileHandle input, std::uint64_t size, FileHandle output,
                           ByteBuffer& buffer) {
  for (std::uint64_t done = 0; done < size;) {
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, buffer.size()));
    if (!files.ReadExactly(input, buffer.data(), piece)) return MaskOutcome::LoadFailed;
    MaskBytes(buffer.data(), piece);
    if (!files.WriteAll(output, buffer.data(), piece)) return MaskOutcome::StoreFailed;
    done += piece;
  }
  if (!files.AtEndOfInput(input)) return MaskOutcome::LoadFailed;
  return MaskOutcome::Created;
}

}  // namespace

MaskOutcome MaskFile(FileSystem& files, const WidePath& input, const WidePath& output) {
  const auto opened = files.OpenInput(input);
  if (!opened) return MaskOutcome::LoadFailed;

  // Refused up front: a read-only file must survive even where the rename
  // below would be allowed to replace it.
  if (files.IsReadOnly(output)) {
    files.CloseInput(opened->handle);
    return MaskOutcome::StoreFailed;
  }
  const auto temporary = files.CreateTemporaryBeside(output);
  if (!temporary) {
    files.CloseInput(opened->handle);
    return MaskOutcome::StoreFailed;
  }

  ByteBuffer buffer(static_cast<std::size_t>(std::min<std::uint64_t>(opened->size, PieceSize)));
  MaskOutcome outcome = TransferMasked(files, opened->handle, opened->size, temporary->handle, buffer);
  files.CloseInput(opened->handle);

  if (!files.CloseOutput(temporary->handle) && outcome == MaskOutcome::Created) outcome = MaskOutcome::StoreFailed;
  if (outcome == MaskOutcome::Created && !files.ReplaceTarget(temporary->path, output)) {
    outcome = MaskOutcome::StoreFailed;
  }
  if (outcome != MaskOutcome::Created) files.DiscardTemporary(temporary->path);
  return outcome;
}
