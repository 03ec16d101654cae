#include "player/FrameDump.h"

#include <sys/stat.h>

#include <cstdio>

#include "gfx/image/ImageFile.h"

std::string frameDumpName(int32_t frame) {
  char name[64];
  std::snprintf(name, sizeof name, "framedump/frame_%06d.tiff", int(frame));
  return name;
}

bool writeDumpFrame(int32_t frame, uint32_t width, uint32_t height, const uint8_t* rgba) {
  // The folder usually exists after the first frame; a failure here shows up in the write.
  ::mkdir("framedump", 0777);
  return writeTiffRgba8(frameDumpName(frame), width, height, rgba, size_t(width) * 4);
}
