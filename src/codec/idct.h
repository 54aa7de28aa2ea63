// The codec's integer inverse DCT of one 8x8 block. Every form gives the same
// samples bit for bit; the scalar one is the reference the others are held to.
#pragma once

#include <cstddef>
#include <cstdint>

namespace veltocam::codec {

// Transforms 64 dequantised coefficients, column-major ((row r, column c) at
// c * 8 + r), into 64 samples in rows of 8, and leaves the coefficients zero,
// ready for the next macroblock. Both arrays are 32-byte aligned.
using InverseDctFunction = void (*)(std::int32_t* coefficients, std::uint8_t* samples);

void InverseDctScalar(std::int32_t* coefficients, std::uint8_t* samples);
void InverseDctAvx2(std::int32_t* coefficients, std::uint8_t* samples);
// As InverseDctAvx2, with row r of the samples stored at first_row + r * step.
void InverseDctAvx2ToRows(std::int32_t* coefficients, std::uint8_t* first_row, std::ptrdiff_t step);

// The fastest form this processor runs, chosen once.
InverseDctFunction BestInverseDct();

// The 64 equal samples of a block whose only coefficient is its DC, as the full
// transform computes them.
std::uint8_t DcOnlySample(std::int32_t dc);

}  // namespace veltocam::codec
