#include "gfx/ShaderProgram.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "gfx/DeviceContext.h"
#include "gfx/FatalError.h"
#include "gfx/Hash.h"

namespace {

// Enough nulls for the widest unbind (shader-resource slots).
Texture* const kNullTextures[kShaderResourceSlots] = {};

bool hasBothTessellationStages(const ShaderProgram* p) { return p->shaders[1] && p->shaders[2]; }

DeviceContext* contextOf(const ShaderProgram* p) {
  return p && p->device ? p->device->context() : nullptr;
}

}  // namespace

// ---------------------------------------------------------------- ConstantBuffer

ConstantBuffer::ConstantBuffer(Device* dev, uint32_t slotIn, uint32_t sizeIn, uint32_t mask)
    : device(dev), slot(slotIn), stageMask(mask), size(sizeIn) {
  if (!device || size == 0) return;
  TextureDesc desc;
  desc.flags = kUsageDynamic | kBindConstantBuffer;  // a buffer: no texture flag
  desc.format = 0;
  desc.bitsPerPixel = 8;
  desc.width = (size + 15) & ~15u;
  buffer = createTexture(device, desc, nullptr);
  if (!buffer) fatalError("Failed to create constant buffer");
}

ConstantBuffer::~ConstantBuffer() {
  if (mapped) unmap();
  deleteTexture(buffer);
}

void ConstantBuffer::addVariable(const char* name, uint32_t offset, uint32_t bytes) {
  Variable v{nameHash(name), offset, bytes};
  auto it = std::lower_bound(variables.begin(), variables.end(), v.hash,
                             [](const Variable& a, uint32_t h) { return a.hash < h; });
  variables.insert(it, v);
  // A fresh, empty table: the old entries point into the list just changed. Made here, at
  // load, so that no frame allocates one.
  remembered_ = std::make_unique<Remembered[]>(kRemembered);
}

const ConstantBuffer::Variable* ConstantBuffer::findHash(uint32_t hash) const {
  auto it = std::lower_bound(variables.begin(), variables.end(), hash,
                             [](const Variable& a, uint32_t h) { return a.hash < h; });
  return it != variables.end() && it->hash == hash ? &*it : nullptr;
}

const ConstantBuffer::Variable* ConstantBuffer::find(const char* name) const {
  return name ? findHash(nameHash(name)) : nullptr;
}

namespace {

// strcmp(a, b) == 0 for names of a few characters, inline: the library call costs more
// than the compare. Stops at the first difference, so it never reads past b's end.
bool sameText(const char* a, const char* b) {
  for (;; ++a, ++b) {
    if (*a != *b) return false;
    if (!*a) return true;
  }
}

}  // namespace

const ConstantBuffer::Variable* ConstantBuffer::lookup(const char* name) {
  if (!name) return nullptr;
  if (!remembered_) return nullptr;  // no variable declared yet: nothing to find
  const uint64_t mixed = uint64_t(reinterpret_cast<uintptr_t>(name)) * 0x9E3779B97F4A7C15ull;
  const uint32_t home = uint32_t(mixed >> 58);  // 6 bits: kRemembered entries
  Remembered* free = nullptr;
  for (uint32_t probe = 0; probe < kProbes; ++probe) {
    Remembered& r = remembered_[(home + probe) % kRemembered];
    if (!r.pointer) {
      if (!free) free = &r;
      continue;
    }
    if (r.pointer == name && sameText(r.text, name)) return r.variable;
  }
  const Variable* v = find(name);
  const size_t length = std::strlen(name);
  if (length < sizeof(Remembered::text)) {
    // With every probed entry taken, the home one gives way: lookups stay right, only slower.
    Remembered& r = free ? *free : remembered_[home];
    r.pointer = name;
    r.variable = v;
    std::memcpy(r.text, name, length + 1);
  }
  return v;
}

void ConstantBuffer::set(const char* name, const void* source) {
  const Variable* v = lookup(name);
  if (!v || !mapped || !source || uint64_t(v->offset) + v->size > size) return;
  std::memcpy(mapped + v->offset, source, v->size);
}

void ConstantBuffer::set(const char* name, const void* source, size_t sourceBytes) {
  const Variable* v = lookup(name);
  if (!v || !mapped || uint64_t(v->offset) + v->size > size) return;
  const size_t n = source ? std::min<size_t>(sourceBytes, v->size) : 0;
  if (n) std::memcpy(mapped + v->offset, source, n);
  if (n < v->size) std::memset(mapped + v->offset + n, 0, v->size - n);
}

// The buffer's own device pointer is cleared when the Device goes first, so a program
// deleted after the Device never reaches into it.
bool ConstantBuffer::map() {
  if (!buffer || !buffer->device) return false;
  if (mapped) return true;
  MappedSubresource m;
  if (!buffer->device->context()->map(buffer, 0, D3D11_MAP_WRITE_DISCARD, m) || !m.data) return false;
  mapped = static_cast<uint8_t*>(m.data);
  return true;
}

void ConstantBuffer::unmap() {
  if (!mapped) return;
  mapped = nullptr;
  if (buffer && buffer->device) buffer->device->context()->unmap(buffer, 0);
}

// ---------------------------------------------------------------- ShaderProgram

ShaderProgram::ShaderProgram(Device* dev) : device(dev) {}

ShaderProgram::~ShaderProgram() {
  for (auto*& s : shaders) {
    delete s;
    s = nullptr;
  }
}

void ShaderProgram::setResource(uint32_t stage, uint32_t reg, Texture* texture) {
  if (stage >= hlsl::kStageCount || reg >= kShaderResourceSlots) return;
  auto& list = resources[stage];
  if (list.size() <= reg) list.resize(reg + 1, nullptr);
  list[reg] = texture;
}

void ShaderProgram::setSampler(uint32_t stage, uint32_t reg, Sampler* sampler) {
  if (stage >= hlsl::kStageCount || reg >= kSamplerSlots) return;
  auto& list = samplers[stage];
  if (list.size() <= reg) list.resize(reg + 1, nullptr);
  list[reg] = sampler;
}

void ShaderProgram::setUav(uint32_t reg, Texture* texture) {
  if (reg >= kUavSlots) return;
  if (uavs.size() <= reg) uavs.resize(reg + 1, nullptr);
  uavs[reg] = texture;
}

void ShaderProgram::addConstantBuffers(uint32_t stage, const hlsl::Reflection& reflection,
                                       const std::string& name) {
  char message[256];
  if (reflection.cbuffers.size() > kProgramConstantBuffers) {
    std::snprintf(message, sizeof(message), "Shader %s declares %zu constant buffers (at most 8)",
                  name.c_str(), reflection.cbuffers.size());
    fatalError(message);
  }
  for (const hlsl::CBufferInfo& cb : reflection.cbuffers) {
    if (cb.slot >= kProgramConstantBuffers) {
      std::snprintf(message, sizeof(message),
                    "Shader %s puts constant buffer %s in register b%u (at most b7)", name.c_str(),
                    cb.name.c_str(), cb.slot);
      fatalError(message);
    }
    auto& slotBuffer = constants[cb.slot];
    if (slotBuffer) {
      slotBuffer->stageMask |= 1u << stage;
      continue;
    }
    slotBuffer = std::make_unique<ConstantBuffer>(device, cb.slot, cb.size, 1u << stage);
    for (const hlsl::CBufferVariable& v : cb.variables) {
      slotBuffer->addVariable(v.name.c_str(), v.offset, v.size);
    }
  }
}

bool ShaderProgram::attachStage(uint32_t stage, const ShaderBlob& blob, const std::string& name) {
  if (stage >= hlsl::kStageCount) return false;
  char message[512];
  hlsl::Reflection reflection;
  std::string error;
  if (!hlsl::reflect(blob.words, reflection, &error)) {
    std::snprintf(message, sizeof(message), "Failed to reflect shader %s: %s", name.c_str(),
                  error.c_str());
    fatalError(message);
  }
  if (device) {
    // A module that declares what the device cannot do is refused (the program then does
    // not load, as with a compile error); handing it to the driver is undefined.
    if (const std::string missing = missingShaderFeatures(device, blob.words); !missing.empty()) {
      logMessage("Shader %s cannot run on this device: it needs %s\n", name.c_str(), missing.c_str());
      return false;
    }
    gfxbackend::Shader* shader =
        createShader(device, static_cast<hlsl::Stage>(stage), blob.words, reflection);
    if (!shader) {
      std::snprintf(message, sizeof(message), "Failed to create shader %s", name.c_str());
      fatalError(message);
    }
    delete shaders[stage];
    shaders[stage] = shader;
  }
  addConstantBuffers(stage, reflection, name);
  return true;
}

// ---------------------------------------------------------------- binding

void bindStates(ShaderProgram* program) {
  DeviceContext* ctx = contextOf(program);
  if (!ctx) return;
  RenderState* state = program->state ? program->state : program->device->defaultState();
  ctx->setRenderState(state, state ? state->desc.stencilRef : 0);
}

namespace {

void setStageBuffers(DeviceContext* ctx, const ShaderProgram* program, uint32_t stage) {
  Texture* buffers[kProgramConstantBuffers] = {};
  for (uint32_t slot = 0; slot < kProgramConstantBuffers; ++slot) {
    const ConstantBuffer* cb = program->constants[slot].get();
    if (cb && (cb->stageMask & (1u << stage))) buffers[slot] = cb->buffer;
  }
  ctx->setConstantBuffers(static_cast<hlsl::Stage>(stage), 0, kProgramConstantBuffers, buffers);
}

}  // namespace

void bindShaders(ShaderProgram* program) {
  DeviceContext* ctx = contextOf(program);
  if (!ctx) return;
  ctx->setShader(hlsl::Vertex, program->shaders[0]);
  setStageBuffers(ctx, program, 0);
  if (hasBothTessellationStages(program)) {
    ctx->setShader(hlsl::Hull, program->shaders[1]);
    setStageBuffers(ctx, program, 1);
    ctx->setShader(hlsl::Domain, program->shaders[2]);
    setStageBuffers(ctx, program, 2);
  } else {
    ctx->setShader(hlsl::Hull, nullptr);
    ctx->setShader(hlsl::Domain, nullptr);
  }
  ctx->setShader(hlsl::Geometry, program->shaders[3]);
  if (program->shaders[3]) setStageBuffers(ctx, program, 3);
  ctx->setShader(hlsl::Pixel, program->shaders[4]);
  setStageBuffers(ctx, program, 4);
}

void bindResources(ShaderProgram* program) {
  DeviceContext* ctx = contextOf(program);
  if (!ctx) return;
  for (uint32_t stage = 0; stage < 5; ++stage) {
    const auto& list = program->resources[stage];
    if (!list.empty())
      ctx->setShaderResources(static_cast<hlsl::Stage>(stage), 0, uint32_t(list.size()), list.data());
  }
}

void bindSamplers(ShaderProgram* program) {
  DeviceContext* ctx = contextOf(program);
  if (!ctx) return;
  for (uint32_t stage = 0; stage < 5; ++stage) {
    const auto& list = program->samplers[stage];
    if (!list.empty())
      ctx->setSamplers(static_cast<hlsl::Stage>(stage), 0, uint32_t(list.size()), list.data());
  }
}

void unbindResources(ShaderProgram* program) {
  DeviceContext* ctx = contextOf(program);
  if (!ctx) return;
  for (uint32_t stage = 0; stage < 5; ++stage) {
    const uint32_t n = uint32_t(std::min<size_t>(program->resources[stage].size(), kShaderResourceSlots));
    if (n) ctx->setShaderResources(static_cast<hlsl::Stage>(stage), 0, n, kNullTextures);
  }
}

void bindProgram(ShaderProgram* program) {
  bindStates(program);
  bindShaders(program);
  bindResources(program);
  bindSamplers(program);
}

void dispatch(ShaderProgram* program, uint32_t x, uint32_t y) {
  DeviceContext* ctx = contextOf(program);
  if (!ctx) return;
  ctx->setShader(hlsl::Compute, program->shaders[5]);
  setStageBuffers(ctx, program, 5);
  const auto& views = program->resources[5];
  const auto& samplers = program->samplers[5];
  if (!views.empty()) ctx->setShaderResources(hlsl::Compute, 0, uint32_t(views.size()), views.data());
  if (!samplers.empty()) ctx->setSamplers(hlsl::Compute, 0, uint32_t(samplers.size()), samplers.data());
  const uint32_t uavCount = uint32_t(std::min<size_t>(program->uavs.size(), kUavSlots));
  if (uavCount) {
    uint32_t counts[kUavSlots] = {};
    for (uint32_t i = 0; i < uavCount && i < program->uavInitialCounts.size(); ++i)
      counts[i] = program->uavInitialCounts[i];
    ctx->setUnorderedAccessViews(hlsl::Compute, 0, uavCount, program->uavs.data(), counts);
  }
  ctx->dispatch(x, y, 1);
  const uint32_t n = uint32_t(std::min<size_t>(views.size(), kShaderResourceSlots));
  if (n) ctx->setShaderResources(hlsl::Compute, 0, n, kNullTextures);
  ctx->setUnorderedAccessViews(hlsl::Compute, 0, kUavSlots, kNullTextures, nullptr);
}

void drawStrip(ShaderProgram* program, uint32_t vertexCount) {
  DeviceContext* ctx = contextOf(program);
  if (!ctx) return;
  bindProgram(program);
  ctx->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
  ctx->setInputLayout(nullptr);
  ctx->draw(vertexCount, 0);
  unbindResources(program);
}

void unbindRenderTargets(Device* device) {
  if (!device || !device->context()) return;
  device->context()->setRenderTargets(kRenderTargetSlots, kNullTextures, nullptr);
}
