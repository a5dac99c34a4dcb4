// The byte forms of every state, in one place. Stored bytes and receipts
// depend on each of them, so they never change; code that writes or reads a
// form refers to its note here ("byte form note 4").
//
// Conventions (merge.hpp implements them): integers little-endian, binary64
// values as their raw bit patterns, a truth value as a whole byte holding 0
// or 1 (any other byte is refused), composite states as their parts
// concatenated in field order with nothing between or after.
//
//  1. SumF64, SumF32: 281 bytes.
//       [0, 272)    34 limbs, least significant first: a 2176-bit two's
//                   complement integer whose unit is 2^-1074
//       [272]       flags: bit 0 NaN seen, bit 1 +inf seen, bit 2 -inf seen;
//                   a byte above 7 is refused
//       [273, 281)  count, saturating at 2^64 - 1
//     SumF32 stores its binary64 twin: every value already rounded to binary32.
//
//  2. DotF64: 282 bytes. The SumF64 form of note 1 holding the exact sum of
//     the rounded products and their exact errors (its count is two per
//     pushed pair), then one truth byte: exactness lost.
//
//  3. The statistics states: their accumulators in field order.
//       MomentsF64          sum x, dot x*x                              563
//       Moments4F64         sum x, dots x*x, x^3, x^4, truth byte
//                           (square underflow)                          1128
//       CovF64              sums x, y, dots x*x, y*y, x*y               1408
//       WeightedMomentsF64  sum w, dots w*x, w*x*x, truth byte
//                           (square underflow)                          846
//       PnMomentsF64        MomentsF64 of the added values, then of the
//                           removed ones                                1126
//
//  4. CovMatrixF64 (d features): 5 + 281 (d + 1) + 282 m bytes, with
//     m = d (d + 1) / 2 + d.
//       u32 d, truth byte (dimensions mismatched in a merge),
//       d + 1 sums: x_0 .. x_(d-1), then y,
//       m dots: x_i * x_j for i <= j in row-major order of the upper
//       triangle, then x_i * y for each i.
//     d is below 2^32 and the whole length must fit 64 bits; larger
//     dimensions are refused before anything is allocated.
//
//  5. HistogramF64 (n edges): 21 + 16 n bytes.
//       u32 n, truth byte (undefined), n edges as binary64 bit patterns,
//       n + 1 counts (u64, saturating), u64 NaN count.
//     Decoded edges need not be sorted: a value's bin is the number of edges
//     at or below it in IEEE totalOrder, whatever their order.
//
//  6. ExtremaF64: 25 bytes.
//       binary64 min, binary64 max, flags (bit 0 NaN seen, bit 1 a value
//       seen), u64 count.
//
//  7. SumMap, MomentsMap (keys text): u32 entry count, then per entry in
//     strictly ascending order of the key's UTF-8 bytes: u32 key length,
//     the key's UTF-8 bytes, u32 state length, the state's form (note 1 or 3).
//
//  8. ReplicatedSum: u32 replica count, then per replica in ascending id
//     order: u64 id, u32 281, the SumF64 form of note 1.
//
//  FastSumF64, DotF64's running form inside `dot`, and DeltasSum have no form
//  that can be read back; their receipts hash what they finish into.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tallix {

// Note 1: the flag byte of a sum.
inline constexpr uint8_t kNanFlag = 1, kPosInfFlag = 2, kNegInfFlag = 4;
inline constexpr uint8_t kSumFlagsMask = kNanFlag | kPosInfFlag | kNegInfFlag;

// Note 5: the histogram form's fixed part and its length for n edges.
inline constexpr uint64_t kHistogramHeaderBytes = 5;  // u32 n, undefined byte
inline constexpr uint64_t histogram_bytes(uint64_t n) { return 21 + 16 * n; }

// Note 6: the flag byte of the extrema.
inline constexpr uint8_t kExtremaNanFlag = 1, kExtremaSeenFlag = 2;

// Notes 7 and 8: entries and key bytes are counted in 32 bits, so the
// containers refuse to grow past what those fields hold: every state they
// reach encodes faithfully and decodes again.
inline constexpr uint64_t kMaxEntries = UINT32_MAX;

}  // namespace tallix
