// The pipeline cache on disk.
//
// Pipelines are built while the production loads and draws its first frames; a driver can
// skip most of that work on the next start when it is handed back what it built before. The
// file starts with our own header naming the driver and device it came from: data of another
// driver is never handed to the driver (some do not check it well), and a damaged file is
// caught by its checksum. Either way the file is ignored and written anew at exit.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "gfx/FatalError.h"
#include "gfx/Hash.h"
#include "gfx/vulkan/Backend.h"

namespace gfxbackend {

namespace {

constexpr char kMagic[4] = {'Z', 'V', 'P', 'C'};
constexpr uint32_t kVersion = 1;

struct CacheHeader {
  char magic[4];
  uint32_t version;
  uint32_t vendorId;
  uint32_t deviceId;
  uint32_t driverVersion;
  uint8_t uuid[VK_UUID_SIZE];
  uint32_t checksum;  // CRC-32 of the data
  uint64_t size;      // bytes of data after the header
};
static_assert(sizeof(CacheHeader) == 48);

CacheHeader headerFor(const DeviceImpl& d) {
  CacheHeader h{};
  std::memcpy(h.magic, kMagic, 4);
  h.version = kVersion;
  h.vendorId = d.properties.vendorID;
  h.deviceId = d.properties.deviceID;
  h.driverVersion = d.properties.driverVersion;
  std::memcpy(h.uuid, d.properties.pipelineCacheUUID, VK_UUID_SIZE);
  return h;
}

// The cache data in the file when it belongs to this driver and device; empty otherwise,
// with the reason.
std::vector<uint8_t> readCacheFile(const DeviceImpl& d, const std::string& path, std::string& why) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    why = "none yet";
    return {};
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  CacheHeader h{};
  if (bytes.size() < sizeof(h)) {
    why = "too short";
    return {};
  }
  std::memcpy(&h, bytes.data(), sizeof(h));
  const CacheHeader mine = headerFor(d);
  if (std::memcmp(h.magic, kMagic, 4) != 0 || h.version != kVersion) {
    why = "not a pipeline cache of this program";
    return {};
  }
  if (h.vendorId != mine.vendorId || h.deviceId != mine.deviceId || h.driverVersion != mine.driverVersion ||
      std::memcmp(h.uuid, mine.uuid, VK_UUID_SIZE) != 0) {
    why = "made by another driver or device";
    return {};
  }
  if (h.size != bytes.size() - sizeof(h) || crc32(bytes.data() + sizeof(h), size_t(h.size)) != h.checksum) {
    why = "damaged";
    return {};
  }
  return std::vector<uint8_t>(bytes.begin() + sizeof(h), bytes.end());
}

}  // namespace

void loadPipelineCache(DeviceImpl& d) {
  std::vector<uint8_t> data;
  if (!d.pipelineCachePath.empty()) {
    std::string why;
    data = readCacheFile(d, d.pipelineCachePath, why);
    if (data.empty() && why != "none yet")
      logMessage("Pipeline cache %s is %s; pipelines are built afresh\n", d.pipelineCachePath.c_str(), why.c_str());
  }
  VkPipelineCacheCreateInfo ci{VK_STRUCTURE_TYPE_PIPELINE_CACHE_CREATE_INFO};
  ci.initialDataSize = data.size();
  ci.pInitialData = data.empty() ? nullptr : data.data();
  VkResult r = vkCreatePipelineCache(d.device, &ci, nullptr, &d.pipelineCache);
  if (r != VK_SUCCESS && !data.empty()) {
    // The driver refused data that our header accepted: start empty.
    logMessage("Pipeline cache %s was refused by the driver (%s); pipelines are built afresh\n",
               d.pipelineCachePath.c_str(), vkResultText(r));
    ci.initialDataSize = 0;
    ci.pInitialData = nullptr;
    data.clear();
    r = vkCreatePipelineCache(d.device, &ci, nullptr, &d.pipelineCache);
  }
  if (r != VK_SUCCESS) d.pipelineCache = VK_NULL_HANDLE;  // pipelines are then built without one
  d.pipelineCacheLoaded = !data.empty() && d.pipelineCache != VK_NULL_HANDLE;
}

bool savePipelineCache(DeviceImpl& d) {
  if (d.pipelineCachePath.empty() || !d.pipelineCache) return false;
  size_t size = 0;
  if (vkGetPipelineCacheData(d.device, d.pipelineCache, &size, nullptr) != VK_SUCCESS) return false;
  std::vector<uint8_t> data(size);
  if (size && vkGetPipelineCacheData(d.device, d.pipelineCache, &size, data.data()) != VK_SUCCESS) return false;
  data.resize(size);
  CacheHeader h = headerFor(d);
  h.size = size;
  h.checksum = crc32(data.data(), data.size());
  // Written beside and renamed over the old file, so an interrupted write leaves no torn cache.
  const std::string temporary = d.pipelineCachePath + ".tmp";
  {
    std::ofstream f(temporary, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(&h), sizeof(h));
    f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    if (!f) {
      logMessage("Could not write the pipeline cache %s\n", temporary.c_str());
      std::error_code ec;
      std::filesystem::remove(temporary, ec);
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temporary, d.pipelineCachePath, ec);
  if (ec) {
    logMessage("Could not write the pipeline cache %s: %s\n", d.pipelineCachePath.c_str(), ec.message().c_str());
    std::filesystem::remove(temporary, ec);
    return false;
  }
  return true;
}

}  // namespace gfxbackend
