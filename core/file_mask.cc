#include "file_mask.h"

#include <algorithm>
#include <cstring>

void MaskBytes(unsigned char* bytes, std::size_t count) {
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

// Streams `size` bytes from input to output through `capacity` bytes at `window`.
MaskOutcome TransferMasked(FileSystem& files, FileHandle input, std::uint64_t size, FileHandle output,
                           unsigned char* window, std::size_t capacity, const PieceDone& piece_done) {
  for (std::uint64_t done = 0; done < size;) {
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, capacity));
    if (!files.ReadExactly(input, window, piece)) return MaskOutcome::LoadFailed;
    MaskBytes(window, piece);
    if (!files.WriteAll(output, window, piece)) return MaskOutcome::StoreFailed;
    done += piece;
    if (piece_done) piece_done(done, size);
  }
  if (!files.AtEndOfInput(input)) return MaskOutcome::LoadFailed;
  return MaskOutcome::Created;
}

}  // namespace

MaskOutcome MaskFile(FileSystem& files, const WidePath& input, const WidePath& output,
                     const PieceDone& piece_done) {
  const auto opened = files.OpenInput(input);
  if (!opened) return MaskOutcome::LoadFailed;

  // Refused up front: a read-only file must survive even where the rename
  // below would be allowed to replace it.
  if (files.IsReadOnly(output)) {
    files.CloseInput(opened->handle);
    return MaskOutcome::StoreFailed;
  }
  const auto temporary = files.CreateTemporaryBeside(output, opened->size);
  if (!temporary) {
    files.CloseInput(opened->handle);
    return MaskOutcome::StoreFailed;
  }

  const std::size_t capacity = static_cast<std::size_t>(std::min<std::uint64_t>(opened->size, PieceSize));
  ByteBuffer buffer(capacity + PieceAlignment);
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(buffer.data());
  unsigned char* const window = buffer.data() + (PieceAlignment - start % PieceAlignment) % PieceAlignment;
  MaskOutcome outcome =
      TransferMasked(files, opened->handle, opened->size, temporary->handle, window, capacity, piece_done);
  files.CloseInput(opened->handle);

  if (!files.CloseOutput(temporary->handle) && outcome == MaskOutcome::Created) outcome = MaskOutcome::StoreFailed;
  if (outcome == MaskOutcome::Created && !files.ReplaceTarget(temporary->path, output)) {
    outcome = MaskOutcome::StoreFailed;
  }
  if (outcome != MaskOutcome::Created) files.DiscardTemporary(temporary->path);
  return outcome;
}
