// The camera's compressed-frame codec: one entry point that decodes a frame of
// Huffman-coded 8x8 blocks into planar YUV or packed colour, optionally enlarged
// by 5/4, plus the table preparation and the enlargement and conversion steps.
//
// All per-frame state lives in the call, so decodes for several cameras may run
// at once; the shared tables are read-only once built.
#pragma once

#include <cstdint>

// Codec status: only the low 16 bits are defined; callers test those.
inline constexpr std::uint32_t CODEC_OK = 0;
// The coded data is exhausted or invalid, or the arguments describe no frame
// this codec can decode (see DecodeCompressedFrame).
inline constexpr std::uint32_t CODEC_ERR_STREAM = 0xFF67;

// Decodes one compressed frame.
//
//  CompressedLength  bytes of coded data at CompressedData. The buffer must stay
//                    readable for 5 bytes beyond it: the bit reader fetches ahead.
//  CompressedData    the coded data; its first byte holds the first coded bit.
//  Width, Height     image size in pixels. Width must be a positive multiple of 16
//                    and Height a positive multiple of 8, neither above 65535.
//  QTableIndex       quantisation pair: 0..9 (or 40..49, the same pairs) select
//                    qualities 50, 70, 80, 85, 88, 90, 92, 95, 60, 40; any other
//                    value the custom (quality 95) pair.
//  SamplingType      0: 4:2:0 macroblocks of 16x16; non-zero: 4:2:2 of 16x8.
//  PlanarOutput      non-zero: planar Y, Cb, Cr (I420 order; chroma planes of
//                    Width/2 x Height/2 for 4:2:0, Width/2 x Height for 4:2:2).
//                    0: packed colour pixels.
//  UseStride         packed output only. Non-zero: 4-byte pixels (a 0 byte, then
//                    the colour) and rows Stride bytes apart; 0: 3-byte pixels,
//                    rows Width * 3 apart.
//  Stride            packed row stride in bytes when UseStride; at least the
//                    row's pixel bytes.
//  BgrOrder          packed output only: non-zero B, G, R; 0 R, G, B.
//  FlipVertical      non-zero: rows stored bottom-up.
//  OutputBuffer      destination image.
//  Enlarge           only the low byte counts. Non-zero: the decoded image is
//                    enlarged by 5/4 in both directions (to Width * 5 / 4 by
//                    Height * 5 / 4) before it is stored.
//  EnlargeBuffer     working image for the enlargement; required with Enlarge.
//                    Planar output: the frame is decoded into it and enlarged
//                    into OutputBuffer. Packed output: the frame is decoded into
//                    OutputBuffer, enlarged into EnlargeBuffer, then converted
//                    into OutputBuffer.
//
// Returns CODEC_OK, or CODEC_ERR_STREAM when the data runs out or is invalid (the
// macroblocks completed before the failing one are in the output, the rest is
// untouched) or when the arguments break the limits above (nothing is written).
std::uint32_t DecodeCompressedFrame(std::int32_t CompressedLength,
                                    const std::uint8_t* CompressedData, std::int32_t Width,
                                    std::int32_t Height, std::int32_t QTableIndex,
                                    std::uint32_t SamplingType, std::uint32_t PlanarOutput,
                                    std::uint32_t UseStride, std::int32_t Stride,
                                    std::uint32_t BgrOrder, std::uint32_t FlipVertical,
                                    std::uint8_t* OutputBuffer, std::uint32_t Enlarge,
                                    std::uint8_t* EnlargeBuffer);

// For tools that report on damaged frames: planar output as DecodeCompressedFrame
// gives it (no flip, no enlargement), and *MacroblocksDecoded receives how many
// macroblocks reached the output, also when the data ran out.
std::uint32_t DecodeCompressedFramePlanar(std::int32_t CompressedLength,
                                          const std::uint8_t* CompressedData, std::int32_t Width,
                                          std::int32_t Height, std::int32_t QTableIndex,
                                          std::uint32_t SamplingType, std::uint8_t* OutputBuffer,
                                          std::uint32_t* MacroblocksDecoded);

// Builds the codec's shared tables (once; later calls find them built). Decodes
// build them on demand too, so calling this first only moves the cost. Always 0.
std::uint32_t PrepareDecoderTables();

// Enlarges a planar image by 5/4: the source is (4 * EnlargedWidth / 5) x
// (4 * EnlargedHeight / 5), the destination EnlargedWidth x EnlargedHeight, both
// in the planar layout of the function's sampling. Each 4x4 block of every plane
// becomes a 5x5 block; a partial block at a plane's edge is left out. Always 0.
std::uint32_t Enlarge420Planar(const std::uint8_t* Source, std::uint8_t* Destination,
                               std::int32_t EnlargedWidth, std::int32_t EnlargedHeight);
std::uint32_t Enlarge422Planar(const std::uint8_t* Source, std::uint8_t* Destination,
                               std::int32_t EnlargedWidth, std::int32_t EnlargedHeight);

// Converts a planar image to packed colour, rows Stride bytes apart.
//  SignedSamples   the planes hold signed samples (chroma as two's complement,
//                  luminance with its top bit inverted).
//  LevelFactor     10 leaves luminance unchanged; any other value maps it
//                  through LevelTable (null: the built-in table).
//  FourBytePixels  4-byte pixels whose first byte is left as it was; else 3.
//  BgrOrder        non-zero B, G, R; 0 R, G, B.
// Always 0.
std::uint32_t Convert420ToPacked(const std::uint8_t* Source, std::int32_t Width,
                                 std::int32_t Height, std::uint8_t* Destination,
                                 std::int32_t Stride, std::uint32_t SignedSamples,
                                 std::uint8_t LevelFactor, const std::uint8_t* LevelTable,
                                 std::uint32_t FourBytePixels, std::uint32_t BgrOrder);
std::uint32_t Convert422ToPacked(const std::uint8_t* Source, std::int32_t Width,
                                 std::int32_t Height, std::uint8_t* Destination,
                                 std::int32_t Stride, std::uint32_t SignedSamples,
                                 std::uint8_t LevelFactor, const std::uint8_t* LevelTable,
                                 std::uint32_t FourBytePixels, std::uint32_t BgrOrder);
