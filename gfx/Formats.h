#pragma once
// The texture format codes. Productions and the shader passes name formats by these
// numbers, so the values are a file format: never renumber one. A code reads 0xTTWCC:
// TT the channel type (1 unorm, 2 snorm, 4 sint, 5 float, 7 unorm sRGB), W the width
// class (2 8-bit, 3 16-bit, 4 32-bit, 5 depth-stencil, 11-13 block-compressed), CC the
// channel count (5 and 6 stand for depth, 7 for BGRA order).
#include <cstdint>

namespace format {
constexpr uint32_t R8 = 0x10201;
constexpr uint32_t RGB8 = 0x10203;  // stored as RGBA8
constexpr uint32_t RGBA8 = 0x10204;
constexpr uint32_t BGRA8 = 0x10207;
constexpr uint32_t BGRA8_SRGB = 0x70207;
constexpr uint32_t R16 = 0x10301;
constexpr uint32_t R16_SINT = 0x40301;
constexpr uint32_t RGBA16_SNORM = 0x20304;
constexpr uint32_t RG16F = 0x50302;
constexpr uint32_t RGBA16F = 0x50304;
constexpr uint32_t R32F = 0x50401;
constexpr uint32_t RG32F = 0x50402;
constexpr uint32_t RGBA32F = 0x50404;
constexpr uint32_t D32F = 0x50405;    // depth, sampled as R32F
constexpr uint32_t D24S8 = 0x10506;   // depth and stencil, sampled as R24 unorm
constexpr uint32_t BC1 = 0x11103;
constexpr uint32_t BC1_SRGB = 0x71103;
constexpr uint32_t BC2 = 0x11204;
constexpr uint32_t BC2_SRGB = 0x71204;
constexpr uint32_t BC3 = 0x11304;
constexpr uint32_t BC3_SRGB = 0x71304;
}  // namespace format
