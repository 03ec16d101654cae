#pragma once
// Pictures from files as immutable textures, loaded once per run through a process-wide
// cache keyed by the hash of the name.
//
// ".jpg" and ".png" (lower case only) are decoded to RGBA8 with a full mip chain; ".dds" keeps
// the file's format, array slices (a cube map has six) and mip levels. Any other extension,
// or none, gives null without a message. A file that cannot be read or decoded gives null and
// one log line naming it; it is not read again for the rest of the run.
#include <cstddef>
#include <string>

class Device;
class Texture;

// With nameIsPath false the file is "data/textures/" + name. Uses gDevice.
Texture* loadTexture(const std::string& name, bool nameIsPath = false);
Texture* loadTexture(Device* device, const std::string& name, bool nameIsPath = false);

// Number of textures held by the cache.
size_t textureCacheSize();
// Deletes every cached texture (at shutdown, before the Device goes).
void clearTextureCache();
