#include "file_mask.h"

#include <algorithm>
#include <cstring>

void MaskBuffer(unsigned char* bytes, std::size_t count) {
  // Four 16-byte lanes a step: wide enough that loop overhead and code
  // placement stop mattering, yet plain SSE2/NEON that every target has.
  // memcpy keeps the loads and stores free of alignment traps.
  using Lane = unsigned char __attribute__((vector_size(16)));
  const Lane mask = Lane{} + MaskByte;
  std::size_t i = 0;
  for (; i + 4 * sizeof(Lane) <= count; i += 4 * sizeof(Lane)) {
    Lane a, b, c, d;
    std::memcpy(&a, bytes + i, sizeof a);
    std::memcpy(&b, bytes + i + sizeof a, sizeof b);
    std::memcpy(&c, bytes + i + 2 * sizeof a, sizeof c);
    std::memcpy(&d, bytes + i + 3 * sizeof a, sizeof d);
    a ^= mask;
    b ^= mask;
    c ^= mask;
    d ^= mask;
    std::memcpy(bytes + i, &a, sizeof a);
    std::memcpy(bytes + i + sizeof a, &b, sizeof b);
    std::memcpy(bytes + i + 2 * sizeof a, &c, sizeof c);
    std::memcpy(bytes + i + 3 * sizeof a, &d, sizeof d);
  }
  for (; i < count; ++i) bytes[i] ^= MaskByte;
}

namespace {

// The kernel copies to and from user memory markedly faster when the user
// side starts on a page boundary.
constexpr std::size_t PieceAlignment = 4096;

// The input, opened and sized; its bytes are read piece by piece as StoreFile
// writes them out, so memory stays flat whatever the file's size.
std::optional<FileSystem::OpenedInput> LoadFile(FileSystem& files, const WidePath& input) {
  return files.OpenInput(input);
}

// Streams `size` bytes from input to output through `capacity` bytes at `window`.
MaskOutcome TransferMasked(FileSystem& files, FileHandle input, std::uint64_t size, FileHandle output,
                           unsigned char* window, std::size_t capacity, const PieceDone& piece_done) {
  for (std::uint64_t done = 0; done < size;) {
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, capacity));
    if (!files.ReadExactly(input, window, piece)) return MaskOutcome::LoadFailed;
    MaskBuffer(window, piece);
    if (!files.WriteAll(output, window, piece)) return MaskOutcome::StoreFailed;
    done += piece;
    if (piece_done) piece_done(done, size);
  }
  if (!files.AtEndOfInput(input)) return MaskOutcome::LoadFailed;
  return MaskOutcome::Created;
}

// Writes the masked input as a new file beside `output` and puts it in
// place only when complete.
MaskOutcome StoreFile(FileSystem& files, const FileSystem::OpenedInput& input, const WidePath& output,
                      const PieceDone& piece_done) {
  // Refused up front: a file the user may not replace must survive even
  // where the final rename would be allowed to replace it.
  if (!files.MayReplace(output)) return MaskOutcome::StoreFailed;
  const auto created = files.CreateOutput(output, input.size);
  if (!created) return MaskOutcome::StoreFailed;

  const std::size_t capacity = static_cast<std::size_t>(std::min<std::uint64_t>(input.size, PieceSize));
  ByteBuffer buffer(capacity + PieceAlignment);
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(buffer.data());
  unsigned char* const window = buffer.data() + (PieceAlignment - start % PieceAlignment) % PieceAlignment;
  const MaskOutcome outcome = TransferMasked(files, input.handle, input.size, *created, window, capacity, piece_done);
  if (outcome != MaskOutcome::Created) {
    files.DiscardOutput(*created);
    return outcome;
  }
  return files.CommitOutput(*created, output) ? MaskOutcome::Created : MaskOutcome::StoreFailed;
}

}  // namespace

MaskOutcome MaskFile(FileSystem& files, const WidePath& input, const WidePath& output, const PieceDone& piece_done) {
  const auto loaded = LoadFile(files, input);
  if (!loaded) return MaskOutcome::LoadFailed;
  const MaskOutcome outcome = StoreFile(files, *loaded, output, piece_done);
  files.CloseInput(loaded->handle);
  return outcome;
}
