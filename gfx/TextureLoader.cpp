#include "gfx/TextureLoader.h"
#include "gfx/LoadFailures.h"
#include "gfx/Reload.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <vector>

#include "gfx/Device.h"
#include "gfx/DeviceCaches.h"
#include "gfx/FatalError.h"
#include "gfx/Hash.h"
#include "gfx/Texture.h"
#include "gfx/image/ImageFile.h"

namespace {

const char* const kTextureDirectory = "data/textures/";

void forgetTexturesOf(Device* device);

// Never destroyed, like the file list below: a Device deleted as the process ends forgets
// its textures here after the other statics are gone.
std::map<uint32_t, Texture*>& cache() {
  static auto* textures = new std::map<uint32_t, Texture*>();
  static const bool watched = (onDeviceGone(&forgetTexturesOf), true);
  (void)watched;
  return *textures;
}

// Names that failed once: a missing picture is reported once, not on every request.
std::set<uint32_t>& failures() {
  static std::set<uint32_t> keys;
  return keys;
}

// Lays the decoded levels out with the device layer's pitches (identical for every format
// the decoders produce; repacking row by row keeps this correct should they ever differ).
const void* initialData(const ImageSet& image, const TextureDesc& desc, std::vector<uint8_t>& scratch) {
  size_t wanted = initialDataSize(desc);
  if (wanted == image.pixels.size()) {
    bool same = true;
    for (const ImageSubresource& sub : image.subresources) {
      SubresourceLayout layout = subresourceLayout(desc.format, 0, sub.width, sub.height, 1);
      same = same && layout.rowPitch == sub.rowPitch && layout.size() == sub.size;
    }
    if (same) return image.pixels.data();
  }
  scratch.assign(wanted, 0);
  size_t at = 0;
  for (const ImageSubresource& sub : image.subresources) {
    SubresourceLayout layout = subresourceLayout(desc.format, 0, sub.width, sub.height, 1);
    uint32_t rows = std::min<uint32_t>(layout.rows, uint32_t(sub.size / std::max(1u, sub.rowPitch)));
    uint32_t bytes = std::min(layout.rowPitch, sub.rowPitch);
    for (uint32_t r = 0; r < rows && at + size_t(r) * layout.rowPitch + bytes <= wanted; ++r)
      std::memcpy(scratch.data() + at + size_t(r) * layout.rowPitch,
                  image.pixels.data() + sub.offset + size_t(r) * sub.rowPitch, bytes);
    at += layout.size();
  }
  return scratch.data();
}

}  // namespace

namespace {
// The file each cached (or failed) texture was read from, for a live reload.
std::map<uint32_t, std::string>& loadedFrom() {
  static auto* files = new std::map<uint32_t, std::string>();
  return *files;
}
}  // namespace

std::vector<Texture*> forgetTextureFile(const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path wanted = fs::path(path).lexically_normal();
  std::vector<Texture*> taken;
  for (auto it = loadedFrom().begin(); it != loadedFrom().end();) {
    if (fs::path(it->second).lexically_normal() != wanted) {
      ++it;
      continue;
    }
    auto found = cache().find(it->first);
    if (found != cache().end()) {
      taken.push_back(found->second);
      cache().erase(found);
    }
    failures().erase(it->first);
    it = loadedFrom().erase(it);
  }
  return taken;
}

Texture* loadTexture(const std::string& name, bool nameIsPath) { return loadTexture(gDevice, name, nameIsPath); }

Texture* loadTexture(Device* device, const std::string& name, bool nameIsPath) {
  uint32_t key = nameHash(name.data(), name.size());
  auto found = cache().find(key);
  if (found != cache().end()) return found->second;
  if (failures().count(key)) return nullptr;

  size_t dot = name.rfind('.');
  if (dot == std::string::npos) return nullptr;
  std::string extension = name.substr(dot);
  bool picture = extension == ".jpg" || extension == ".png";
  if (!picture && extension != ".dds") return nullptr;

  std::string path = nameIsPath ? name : kTextureDirectory + name;
  ImageSet image;
  bool ok = picture ? readPicture(path, image) : readDds(path, image);
  if (!ok || !device) {
    if (ok) logMessage("Failed to load texture %s: no device\n", path.c_str());
    noteLoadFailure("texture", path, ok ? "no device" : "cannot read it");
    loadedFrom()[key] = path;
    failures().insert(key);
    return nullptr;
  }

  TextureDesc desc;
  desc.flags = kTextureFlag | kUsageImmutable | kBindShaderResource | (image.cube ? uint32_t(kCubeMap) : 0u);
  desc.format = image.formatCode;
  desc.options = 0;
  desc.width = image.width;
  desc.height = image.height;
  desc.arraySize = image.arraySize;
  desc.mipLevels = image.mipLevels;
  std::vector<uint8_t> scratch;
  Texture* texture = createTexture(device, desc, initialData(image, desc, scratch));
  if (!texture) {
    logMessage("Failed to create texture %s\n", path.c_str());
    noteLoadFailure("texture", path, "the device cannot create it");
    failures().insert(key);
    return nullptr;
  }
  // Loaded textures carry flags 0x10101; a cube is one by its slices, not by a flag.
  texture->desc.flags &= ~uint32_t(kCubeMap);
  cache()[key] = texture;
  loadedFrom()[key] = path;
  return texture;
}

namespace {
// The textures a going Device made leave the cache (and are deleted while it still works);
// their names load afresh on the next Device.
void forgetTexturesOf(Device* device) {
  for (auto it = cache().begin(); it != cache().end();) {
    if (it->second && it->second->device != device) {
      ++it;
      continue;
    }
    deleteTexture(it->second);
    loadedFrom().erase(it->first);
    it = cache().erase(it);
  }
}
}  // namespace

size_t textureCacheSize() { return cache().size(); }

void clearTextureCache() {
  for (auto& entry : cache()) deleteTexture(entry.second);
  cache().clear();
  failures().clear();
}
