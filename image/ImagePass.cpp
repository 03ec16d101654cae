#include "image/ImagePass.h"

#include "gfx/Device.h"
#include "gfx/FatalError.h"
#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "gfx/Texture.h"

namespace imagepass {

ProgramTrace* trace = nullptr;

namespace {
constexpr uint32_t kPoint = 0, kLinear = 7;
constexpr uint32_t kWrap = 0, kClamp = 1;

Sampler* sampler(Device* device, uint32_t filter, uint32_t address) {
  return device ? device->samplerFor(SamplerDesc::forMode(samplerMode(filter, address, address, address))) : nullptr;
}
}  // namespace

Sampler* pointWrap(Device* device) { return sampler(device, kPoint, kWrap); }
Sampler* linearClamp(Device* device) { return sampler(device, kLinear, kClamp); }
Sampler* linearWrap(Device* device) { return sampler(device, kLinear, kWrap); }

RegionConstants depthRegion(const Context& ctx) { return regionConstants(ctx.frameDepthTarget, ctx.viewport); }

bool usable(const ShaderProgram* p) {
  return p && ((p->shaders[0] && p->shaders[4]) || p->shaders[5]);
}

RenderStateDesc passStateDesc() {
  RenderStateDesc s = RenderStateDesc::zeroed();
  s.flags = kScissor;
  s.stencilReadMask = 0xFF;
  s.stencilWriteMask = 0xFF;
  return s;
}

void loadPassProgramOnce(std::unique_ptr<ShaderProgram>& program, bool& tried, const char* name) {
  if (program || tried || !gDevice) return;
  tried = true;
  program = loadPassProgram(name, "VS", "PS");
}

std::unique_ptr<ShaderProgram> loadPassProgram(const char* name, const char* vs, const char* ps, bool isPath) {
  if (!gDevice || !name) return nullptr;
  std::unique_ptr<ShaderProgram> program;
  bool ok;
  if (isPath) {
    ok = loadProgramFromFile(name, EntryPoints::vsps(vs, ps), program);
  } else {
    program = std::make_unique<ShaderProgram>(gDevice);
    ok = loadProgramAuto(name, EntryPoints::vsps(vs, ps), program.get());
  }
  if (!ok || !usable(program.get())) {
    logMessage("Failed to load shader %s (entries %s, %s)\n", name, vs, ps);
    return nullptr;
  }
  program->state = gDevice->stateFor(passStateDesc());
  return program;
}

std::unique_ptr<ShaderProgram> loadComputeProgram(const char* name, const char* entry) {
  if (!gDevice) return nullptr;
  auto program = std::make_unique<ShaderProgram>(gDevice);
  if (!loadProgramAuto(name, EntryPoints::compute(entry), program.get()) || !usable(program.get())) {
    logMessage("Failed to load compute shader %s (entry %s)\n", name, entry);
    return nullptr;
  }
  return program;
}

void bindTexture(ShaderProgram* program, uint32_t slot, Texture* texture, Sampler* s) {
  if (!program) return;
  program->setResource(4, slot, texture);
  program->setSampler(4, slot, s);
  if (trace && texture) {
    trace->textures.push_back({program, 4, slot, texture});
    if (s) trace->samplers.push_back({program, 4, slot, nullptr});  // texel loads need none
  }
}

void bindComputeTexture(ShaderProgram* program, uint32_t slot, Texture* texture, Sampler* s) {
  if (!program) return;
  program->setResource(5, slot, texture);
  if (s) program->setSampler(5, slot, s);
  if (trace && texture) {
    trace->textures.push_back({program, 5, slot, texture});
    if (s) trace->samplers.push_back({program, 5, slot, nullptr});
  }
}

void bindUav(ShaderProgram* program, uint32_t slot, Texture* view) {
  if (!program) return;
  program->setUav(slot, view);
  if (trace && view) trace->uavs.push_back({program, 5, slot, view});
}

void drawOver(ShaderProgram* program, Texture* target, const Viewport& rect, uint32_t vertexCount) {
  Device* device = program ? program->device : nullptr;
  if (!device || !target) return;
  RenderPass pass;
  pass.colourTargets[0] = target;
  pass.rect[0] = rect.left;
  pass.rect[1] = rect.top;
  pass.rect[2] = rect.right;
  pass.rect[3] = rect.bottom;
  pass.width = target->width();
  pass.height = target->height();
  bindRenderPass(device, pass);
  if (rect.right > rect.left && rect.bottom > rect.top && usable(program)) {
    if (trace) trace->runs.push_back(program);
    drawStrip(program, vertexCount);
  }
  // The program keeps no picture between draws: pooled pictures change from frame to frame.
  for (Texture*& t : program->resources[4]) t = nullptr;
  unbindRenderTargets(device);
}

void runCompute(ShaderProgram* program, uint32_t x, uint32_t y) {
  if (!usable(program) || !program->shaders[5]) return;
  if (trace) trace->runs.push_back(program);
  dispatch(program, x, y);
  for (Texture*& t : program->resources[5]) t = nullptr;
  for (Texture*& t : program->uavs) t = nullptr;
}

void clearWhole(Device* device, Texture* target, float r, float g, float b, float a) {
  if (!device || !target) return;
  const float colour[4] = {r, g, b, a};
  clearTexture(device, target, colour);
  unbindRenderTargets(device);
}

Texture* readable(Context& ctx, Texture* source, const Texture* target) {
  if (!source || source != target) return source;
  if (!ctx.targets) return nullptr;
  Texture* copy = acquireColourTarget(*ctx.targets, source->width(), source->height(), 0, source->format());
  if (!copy) return nullptr;
  RenderStateDesc opaque = passStateDesc();
  opaque.flags = 0;
  copyPass(copy, source, wholeOf(source), opaque, false);
  return copy;
}

Viewport wholeOf(const Texture* t) {
  return Viewport{0, 0, int32_t(t ? t->width() : 0), int32_t(t ? t->height() : 0)};
}

}  // namespace imagepass
