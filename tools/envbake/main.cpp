// envbake: bakes the environment cube of the image-based lighting.
//   envbake [--sky | --panorama PICTURE] [--size N] [--levels N] [--sun X,Y,Z] -o OUT.dds
// Without a source option it bakes the procedural sky. The default environment of the
// player, data/textures/OutputCube.dds, is `envbake --size 64 -o data/textures/OutputCube.dds`.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/envbake/EnvBake.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: envbake [--sky | --panorama PICTURE] [--size N] [--levels N] [--sun X,Y,Z] -o OUT.dds\n"
               "  --sky            procedural clear sky (default)\n"
               "  --panorama FILE  equirectangular picture (.hdr, .png, .jpg; HDR stays linear)\n"
               "  --size N         face size of the sharpest level, a power of two (default 64)\n"
               "  --levels N       mip levels, each pre-filtered for a rougher surface (default: all)\n"
               "  --sun X,Y,Z      direction towards the sun of the procedural sky\n");
  return 2;
}

bool parseUint(const char* text, uint32_t& out) {
  char* end = nullptr;
  unsigned long v = std::strtoul(text, &end, 10);
  if (!end || *end != 0 || v > 1u << 20) return false;
  out = uint32_t(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string output, panoramaPath;
  envbake::BakeSettings settings;
  envbake::SkySettings sky;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (a == "--sky") {
      panoramaPath.clear();
    } else if (a == "--panorama") {
      const char* v = next();
      if (!v) return usage();
      panoramaPath = v;
    } else if (a == "--size") {
      const char* v = next();
      if (!v || !parseUint(v, settings.size)) return usage();
    } else if (a == "--levels") {
      const char* v = next();
      if (!v || !parseUint(v, settings.mipLevels)) return usage();
    } else if (a == "--sun") {
      const char* v = next();
      if (!v || std::sscanf(v, "%f,%f,%f", &sky.sunDirection.x, &sky.sunDirection.y, &sky.sunDirection.z) != 3)
        return usage();
    } else if (a == "-o") {
      const char* v = next();
      if (!v) return usage();
      output = v;
    } else {
      return usage();
    }
  }
  if (output.empty()) return usage();

  envbake::Panorama panorama;
  envbake::RadianceSource source;
  if (!panoramaPath.empty()) {
    std::string error;
    if (!envbake::loadPanorama(panoramaPath, panorama, error)) {
      std::fprintf(stderr, "envbake: %s\n", error.c_str());
      return 1;
    }
    source = [&panorama](Float3 d) { return envbake::samplePanorama(panorama, d); };
  } else {
    source = [&sky](Float3 d) { return envbake::proceduralSky(sky, d); };
  }

  envbake::CubeImage cube;
  auto progress = [](uint32_t done, uint32_t total) {
    std::fprintf(stderr, "\renvbake: level %u of %u", done, total);
    if (done == total) std::fprintf(stderr, "\n");
    std::fflush(stderr);
  };
  if (!envbake::bakeCube(source, settings, cube, progress)) {
    std::fprintf(stderr, "envbake: size must be a power of two up to 4096 and levels at most the full chain\n");
    return 1;
  }
  std::string error;
  if (!envbake::writeFileBytes(output, envbake::encodeDdsCube(cube), error)) {
    std::fprintf(stderr, "envbake: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr, "envbake: wrote %s (%u x %u, %u levels)\n", output.c_str(), cube.size, cube.size,
               cube.mipLevels);
  return 0;
}
