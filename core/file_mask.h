// Any platform; files only through the FileSystem seam, one run at a time, on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform.h"

// Every byte of a disguised file is its source's byte exclusive-or this.
// Disguised files carry no header: same length, byte for byte masked, so
// masking twice gives back the source.
inline constexpr unsigned char MaskByte = 0x6B;

using ByteBuffer = std::vector<unsigned char>;

// A file moves through one buffer of at most this many bytes, so memory stays
// flat whatever the file's size. Large enough that the cost of each read and
// write call vanishes, small enough to stay in the processor's cache between
// the read, the mask and the write (measured in bench/).
inline constexpr std::size_t PieceSize = std::size_t{1} << 20;

// Combines every byte with MaskByte, in place.
void MaskBuffer(unsigned char* bytes, std::size_t count);
inline void MaskBuffer(ByteBuffer& buffer) { MaskBuffer(buffer.data(), buffer.size()); }

enum class MaskOutcome {
  Created,     // the output name now holds the complete masked input
  LoadFailed,  // the input could not be opened, sized or read whole
  StoreFailed  // the output could not be written, nor named, nor confirmed on the disk; the output name is
               // untouched unless only that confirmation failed: then it holds the complete result
};

// Loads the input (LoadFile), masks it piece by piece (MaskBuffer) and
// stores it under `output` (StoreFile), which holds either its old content
// or the complete result, never anything in between; no other file is left
// behind. The input is only ever read. `piece_done`, when given, hears of
// the bytes done so far after every piece. Unless Created, `failure` tells
// which step failed and why.
using PieceDone = std::function<void(std::uint64_t done, std::uint64_t total)>;
MaskOutcome MaskFile(FileSystem& files, const WidePath& input, const WidePath& output, Failure& failure,
                     const PieceDone& piece_done = nullptr);
