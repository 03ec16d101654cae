#pragma once
// Writes PNG files through libpng, with what a simple encoder cannot give: 16-bit channels and
// an sRGB chunk, so that the decoder is tested against files as authoring tools write them.
#include <png.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct PngPicture {
  uint32_t width = 0;
  uint32_t height = 0;
  int colourType = PNG_COLOR_TYPE_RGBA;  // PNG_COLOR_TYPE_GRAY, _RGB, _RGBA, _GRAY_ALPHA
  int bitDepth = 8;                      // 8 or 16
  bool srgbChunk = false;
  // Channel values, row after row; 16-bit values are given as numbers (not bytes).
  std::vector<uint16_t> values;

  uint32_t channels() const {
    switch (colourType) {
      case PNG_COLOR_TYPE_GRAY: return 1;
      case PNG_COLOR_TYPE_GRAY_ALPHA: return 2;
      case PNG_COLOR_TYPE_RGB: return 3;
      default: return 4;
    }
  }

  bool write(const std::string& path) const {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info || setjmp(png_jmpbuf(png))) {
      png_destroy_write_struct(&png, &info);
      std::fclose(f);
      return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, width, height, bitDepth, colourType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (srgbChunk) png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
    png_write_info(png, info);
    const uint32_t perRow = width * channels();
    std::vector<uint8_t> row(size_t(perRow) * (bitDepth == 16 ? 2 : 1));
    for (uint32_t y = 0; y < height; ++y) {
      for (uint32_t i = 0; i < perRow; ++i) {
        const uint16_t v = values[size_t(y) * perRow + i];
        if (bitDepth == 16) {
          row[2 * i] = uint8_t(v >> 8);  // PNG stores big-endian
          row[2 * i + 1] = uint8_t(v & 0xFF);
        } else {
          row[i] = uint8_t(v);
        }
      }
      png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fclose(f) == 0;
  }
};
