// TIFF writer of the frame dump: RGBA, 8 bits a channel, top row first, no compression
// (dumping is offline but writes a full frame every frame, so speed beats size).
#include <tiffio.h>

#include <cstdarg>
#include <cstdio>

#include "gfx/image/ImageFile.h"
#include "gfx/image/ImageLog.h"

namespace {

// libtiff reports through global handlers; route them into our log once, as plain lines.
void tiffMessage(const char* module, const char* format, va_list args) {
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  imageLog("TIFF %s: %s\n", module ? module : "", text);
}

void installHandlers() {
  static bool done = false;
  if (done) return;
  done = true;
  TIFFSetErrorHandler(tiffMessage);
  TIFFSetWarningHandler(nullptr);
}

}  // namespace

bool writeTiffRgba8(const std::string& path, uint32_t width, uint32_t height, const uint8_t* rgba,
                    size_t rowPitch) {
  installHandlers();
  if (width == 0 || height == 0 || !rgba || rowPitch < size_t(width) * 4) {
    imageLog("Failed to write %s: bad image\n", path.c_str());
    return false;
  }
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  if (!tif) {
    imageLog("Failed to write %s: cannot create the file\n", path.c_str());
    return false;
  }
  uint16_t extra[1] = {EXTRASAMPLE_UNASSALPHA};
  bool ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width) && TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height) &&
            TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 4) && TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8) &&
            TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, extra) &&
            TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
            TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
            TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) &&
            TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE) &&
            TIFFSetField(tif, TIFFTAG_SOFTWARE, "DirectXTex") &&
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
  for (uint32_t y = 0; ok && y < height; ++y)
    ok = TIFFWriteScanline(tif, const_cast<uint8_t*>(rgba + y * rowPitch), y, 0) >= 0;
  // Closing flushes the last strip and the directory; a full disk shows up here.
  ok = ok && TIFFFlush(tif);
  TIFFClose(tif);
  if (!ok) {
    imageLog("Failed to write %s\n", path.c_str());
    std::remove(path.c_str());
  }
  return ok;
}
