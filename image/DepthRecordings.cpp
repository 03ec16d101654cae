#include "image/DepthRecordings.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "gfx/Device.h"
#include "gfx/DeviceContext.h"
#include "gfx/FatalError.h"
#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "gfx/Texture.h"
#include "image/Effects.h"
#include "image/ImagePass.h"

using namespace imagepass;

namespace {

constexpr uint32_t kDynamicTextureFlags = 0x10301;  // texture, dynamic with CPU write, shader resource
constexpr uint32_t kColourTargetFlags = 0x10009;

uint32_t readLe32(const std::string& d, int64_t at) {
  const auto* p = reinterpret_cast<const uint8_t*>(d.data()) + at;
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

Texture* makeTexture(Device* device, uint32_t flags, uint32_t format) {
  TextureDesc d;
  d.flags = flags;
  d.format = format;
  d.width = kDepthFrameWidth;
  d.height = kDepthFrameHeight;
  return createTexture(device, d, nullptr);
}

// Fills a CPU-written texture row by row through a write-discard map.
template <typename Fill>
bool writeRows(Texture* texture, uint32_t rowBytes, Fill fill) {
  Device* device = texture ? texture->device : nullptr;
  if (!device) return false;
  MappedSubresource m;
  if (!device->context()->map(texture, 0, D3D11_MAP_WRITE_DISCARD, m)) return false;
  auto* rows = static_cast<uint8_t*>(m.data);
  for (uint32_t y = 0; y < kDepthFrameHeight; ++y) fill(y, rows + size_t(y) * (m.rowPitch ? m.rowPitch : rowBytes));
  device->context()->unmap(texture, 0);
  return true;
}

// Reads a recording whole; false (reported once per name) when it cannot be read.
bool readRecording(const std::string& name, std::string& failedName, std::string& out, const char* op) {
  std::string bytes;
  if (!readWholeFile(name, bytes)) {
    if (failedName != name) logMessage("%s: cannot read the recording %s\n", op, name.c_str());
    failedName = name;
    return false;
  }
  failedName.clear();
  out = std::move(bytes);
  return true;
}

}  // namespace

bool depthFrameNumber(float value, int32_t& frame) {
  if (!(value >= 0.0f && value < 2147483648.0f)) return false;  // NaN fails too
  frame = int32_t(value);
  return true;
}

// ---------------------------------------------------------------- the .xed container

void XedRecording::assign(std::string bytes) {
  data = std::move(bytes);
  frames_.clear();
  exhausted_ = false;
  const int64_t size = int64_t(data.size());
  length = 0;
  if (size >= 20) {
    const int32_t stored = int32_t(readLe32(data, 16));
    // A damaged length must never send a read past the file.
    length = std::clamp<int64_t>(stored, 0, size);
  }
  // Room for every frame the data can hold, so that playing never grows the index.
  frames_.reserve(size_t(length / int64_t(kXedFrameStep)) + 1);
  const int64_t first = scanForMarker(0);
  if (first >= 0)
    frames_.push_back(first);
  else
    exhausted_ = true;
}

int64_t XedRecording::scanForMarker(int64_t from) const {
  for (int64_t at = from; at + 4 <= length; at += 4)
    if (readLe32(data, at) == kXedFrameMarker) return at;
  return -1;
}

int64_t XedRecording::framePosition(int32_t n) {
  if (n < 0) return -1;
  // Markers are found in order and remembered, so playing forward scans the file once.
  while (size_t(n) >= frames_.size() && !exhausted_) {
    // The next marker is looked for from 307200 bytes after the last one: recordings whose
    // frames lie closer than a whole frame's data apart keep every frame.
    const int64_t next = scanForMarker(frames_.back() + int64_t(kXedFrameStep));
    if (next < 0)
      exhausted_ = true;
    else
      frames_.push_back(next);
  }
  if (size_t(n) >= frames_.size()) return -1;
  const int64_t at = frames_[size_t(n)];
  return at + 4 + int64_t(kXedFrameBytes) <= length ? at : -1;
}

bool XedRecording::decode(int32_t n, uint16_t* out) {
  const int64_t at = framePosition(n);
  if (at < 0) return false;
  const auto* p = reinterpret_cast<const uint8_t*>(data.data()) + at + 4;
  for (uint32_t i = 0; i < kDepthFramePixels; ++i) out[i] = uint16_t(p[2 * i] << 8 | p[2 * i + 1]);
  return true;
}

bool decodeRawDepthFrame(const std::string& data, int32_t n, uint8_t* out) {
  if (n < 0 || (int64_t(n) + 1) * kDepthFramePixels > int64_t(data.size())) return false;
  std::memcpy(out, data.data() + int64_t(n) * kDepthFramePixels, kDepthFramePixels);
  return true;
}

// ---------------------------------------------------------------- XEDDepth

XEDDepthOp::XEDDepthOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(XEDDepthOp, XEDFunction);
}

XEDDepthOp::XEDFunction::XEDFunction() = default;

XEDDepthOp::XEDFunction::~XEDFunction() {
  deleteTexture(depthTexture);
  deleteTexture(colourTarget);
}

bool XEDDepthOp::XEDFunction::decodeFrame(int32_t n) {
  std::vector<uint16_t>& values = scratch;  // made once: playing must not allocate frame by frame
  values.resize(kDepthFramePixels);
  if (!recording.decode(n, values.data())) return false;
  const bool written = writeRows(depthTexture, kDepthFrameWidth * 2, [&](uint32_t y, uint8_t* row) {
    std::memcpy(row, values.data() + size_t(y) * kDepthFrameWidth, kDepthFrameWidth * 2);
  });
  if (!written) return false;
  currentFrame = n;
  ++decodes;
  return true;
}

void XEDDepthOp::XEDFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Device* device = deviceOf(ctx);
  if (!device) return;
  if (!depthTexture) depthTexture = makeTexture(device, kDynamicTextureFlags, format::R16);
  if (!colourTarget) colourTarget = makeTexture(device, kColourTargetFlags, format::RGBA8);
  if (notLoaded) {
    // The shader is tried once; the recording until it has been read.
    if (!programTried) {
      programTried = true;
      program = loadPassProgram(evalText(s, Shader, t, ctx).c_str(), "VS", "PS", true);
    }
    const std::string name = evalText(s, File, t, ctx);
    if (!name.empty() && name != fileName) {
      std::string bytes;
      if (readRecording(name, failedName, bytes, "XEDDepth")) {
        recording.assign(std::move(bytes));
        currentFrame = -1;
        decodeFrame(0);
        fileName = name;
      }
    }
  }
  if (recording.empty() || !usable(program.get())) return;
  int32_t frame;
  if (depthFrameNumber(evalFloat(s, Frame, t, ctx), frame) && frame != currentFrame) decodeFrame(frame);
  if (program->constantBuffer(0)) {
    const float farPlane = evalFloat(s, FarPlane, t, ctx);
    const float nearPlane = evalFloat(s, NearPlane, t, ctx);
    ConstantWriter(program.get(), "XED depth", trace).set("gFar", farPlane).set("gNear", nearPlane);
  }
  bindTexture(program.get(), 0, depthTexture, pointWrap(device));
  drawOver(program.get(), colourTarget, Viewport{0, 0, int32_t(kDepthFrameWidth), int32_t(kDepthFrameHeight)});
  ctx.imageResult = colourTarget;
  notLoaded = 0;
}

// ---------------------------------------------------------------- AXEDDepth

AXEDDepthOp::AXEDDepthOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(AXEDDepthOp, AXEDFunction);
}

AXEDDepthOp::AXEDFunction::AXEDFunction() = default;
AXEDDepthOp::AXEDFunction::~AXEDFunction() { deleteTexture(frameTexture); }

bool AXEDDepthOp::AXEDFunction::decodeFrame(int32_t n) {
  std::vector<uint8_t>& values = scratch;
  values.resize(kDepthFramePixels);
  if (!decodeRawDepthFrame(data, n, values.data())) return false;
  const bool written = writeRows(frameTexture, kDepthFrameWidth, [&](uint32_t y, uint8_t* row) {
    std::memcpy(row, values.data() + size_t(y) * kDepthFrameWidth, kDepthFrameWidth);
  });
  if (!written) return false;
  currentFrame = n;
  ++decodes;
  return true;
}

void AXEDDepthOp::AXEDFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Device* device = deviceOf(ctx);
  if (!device) return;
  if (!frameTexture) frameTexture = makeTexture(device, kDynamicTextureFlags, format::R8);
  if (notLoaded) {
    const std::string name = evalText(s, File, t, ctx);
    if (!name.empty() && name != fileName && readRecording(name, failedName, data, "AXEDDepth")) {
      currentFrame = -1;
      decodeFrame(0);
      fileName = name;
    }
  }
  if (fileName.empty()) return;
  int32_t frame;
  if (depthFrameNumber(evalFloat(s, Frame, t, ctx), frame) && frame != currentFrame) decodeFrame(frame);
  ctx.imageResult = frameTexture;
  notLoaded = 0;
}
