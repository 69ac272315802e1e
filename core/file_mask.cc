// Any platform; files only through the FileSystem seam, one run at a time; SSE2/NEON-wide vector types (GCC, Clang).
#include "file_mask.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

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
std::unique_ptr<InputFile> LoadFile(FileSystem& files, const WidePath& input, Failure& failure) {
  return files.OpenInput(input, failure);
}

// Streams the whole input to the output through `capacity` bytes at `window`.
MaskOutcome TransferMasked(InputFile& input, OutputFile& output, unsigned char* window, std::size_t capacity,
                           Failure& failure, const PieceDone& piece_done) {
  const std::uint64_t size = input.Size();
  for (std::uint64_t done = 0; done < size;) {
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, capacity));
    if (!input.ReadExactly(window, piece, failure)) return MaskOutcome::LoadFailed;
    MaskBuffer(window, piece);
    if (!output.WriteAll(window, piece, failure)) return MaskOutcome::StoreFailed;
    done += piece;
    if (piece_done) piece_done(done, size);
  }
  if (!input.AtEndUnchanged(failure)) return MaskOutcome::LoadFailed;
  return MaskOutcome::Created;
}

// Writes the masked input as new content beside `output` and puts it in
// place only when complete; on any failure the new content goes with the
// output object.
MaskOutcome StoreFile(FileSystem& files, std::unique_ptr<InputFile> input, const WidePath& output, Failure& failure,
                      const PieceDone& piece_done) {
  const std::unique_ptr<OutputFile> created = files.CreateOutput(output, *input, failure);
  if (!created) return MaskOutcome::StoreFailed;

  const std::size_t capacity = static_cast<std::size_t>(std::min<std::uint64_t>(input->Size(), PieceSize));
  ByteBuffer buffer(capacity + PieceAlignment);
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(buffer.data());
  unsigned char* const window = buffer.data() + (PieceAlignment - start % PieceAlignment) % PieceAlignment;
  const MaskOutcome outcome = TransferMasked(*input, *created, window, capacity, failure, piece_done);
  if (outcome != MaskOutcome::Created) return outcome;
  return created->Commit(std::move(input), failure) ? MaskOutcome::Created : MaskOutcome::StoreFailed;
}

}  // namespace

MaskOutcome MaskFile(FileSystem& files, const WidePath& input, const WidePath& output, Failure& failure,
                     const PieceDone& piece_done) {
  std::unique_ptr<InputFile> loaded = LoadFile(files, input, failure);
  if (!loaded) return MaskOutcome::LoadFailed;
  return StoreFile(files, std::move(loaded), output, failure, piece_done);
}
