#include "scene/GBufferRenderer.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "gfx/Device.h"
#include "gfx/DeviceContext.h"
#include "gfx/FatalError.h"
#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "scene/Mesh.h"
#include "scene/ObjectMatrices.h"

namespace {

// The view of the last camera seen, and of the last previous camera: a frame's draws share
// one camera, and the same arithmetic on the same bits gives the same bits, so the inverse is
// made once per camera, not once per draw.
struct ViewOfCamera {
  bool known = false;
  Float4x4 camera;
  Float4x4 view;

  const Float4x4& of(const Float4x4& c) {
    if (!known || !objmat::sameBits(camera, c)) {
      camera = c;
      view = mat::rigidInverse(c);
      known = true;
    }
    return view;
  }
};

thread_local ViewOfCamera tView, tViewPrev;

}  // namespace

ObjectConstants computeObjectConstants(const Context& ctx) {
  ObjectConstants c;
  computeObjectConstants(ctx, c);
  return c;
}

void computeObjectConstants(const Context& ctx, ObjectConstants& c) {
  // A still camera or object gives the same inputs twice; the same arithmetic on the same
  // bits gives the same bits, so those products are not made again.
  const bool stillCamera = objmat::sameBits(ctx.camera, ctx.cameraPrev);
  const bool stillObject = objmat::sameBits(ctx.world, ctx.worldPrev);
  const Float4x4& view = tView.of(ctx.camera);
  c.view = view;
  c.proj = ctx.projection;
  c.worldView = objmat::product(ctx.world, view);
  c.worldViewProj = objmat::product(c.worldView, ctx.projection);
  if (stillCamera && stillObject) {
    c.worldViewProjPrev = c.worldViewProj;
  } else {
    const Float4x4& viewPrev = stillCamera ? view : tViewPrev.of(ctx.cameraPrev);
    c.worldViewProjPrev = objmat::product(objmat::product(ctx.worldPrev, viewPrev), ctx.projection);
  }
  c.invTransWorldView = objmat::inverseTransposed(c.worldView);
  c.region = regionConstants(ctx.frameDepthTarget, ctx.viewport);
  c.baseColor = ctx.baseColor;
  c.specularColor = ctx.specularColor;
  c.emissive = ctx.emissive;
  c.roughness = ctx.roughness;
  c.metalness = ctx.metalness;
  c.tileUV = ctx.tileUV;
  for (int i = 0; i < 3; ++i) c.params[i] = ctx.shaderParams[i];
}

namespace {

// The per-object block, in the order it is written: each constant's name, where its value
// lies in ObjectConstants and how many bytes are written (matrices transposed).
struct ObjectField {
  const char* name;
  size_t at;
  uint32_t bytes;
  bool matrix;
};
constexpr ObjectField kObjectFields[] = {
    {"gWorldViewProj", offsetof(ObjectConstants, worldViewProj), 64, true},
    {"gWorldViewProjPrev", offsetof(ObjectConstants, worldViewProjPrev), 64, true},
    {"gWorldView", offsetof(ObjectConstants, worldView), 64, true},
    {"gInvTransWorldView", offsetof(ObjectConstants, invTransWorldView), 64, true},
    {"gProj", offsetof(ObjectConstants, proj), 64, true},
    {"gView", offsetof(ObjectConstants, view), 64, true},
    {"gRegionScale", offsetof(ObjectConstants, region) + offsetof(RegionConstants, scale), 8, false},
    {"gRegionOffset", offsetof(ObjectConstants, region) + offsetof(RegionConstants, offset), 8, false},
    {"gBaseColor", offsetof(ObjectConstants, baseColor), 16, false},
    {"gSpecularMapColor", offsetof(ObjectConstants, specularColor), 16, false},
    {"gEmissiveColor", offsetof(ObjectConstants, emissive), 16, false},
    {"gRoughness", offsetof(ObjectConstants, roughness), 4, false},
    {"gMetalness", offsetof(ObjectConstants, metalness), 4, false},
    {"gTileUV", offsetof(ObjectConstants, tileUV), 8, false},
    {"gParam1", offsetof(ObjectConstants, params), 4, false},
    {"gParam2", offsetof(ObjectConstants, params) + 4, 4, false},
    {"gParam3", offsetof(ObjectConstants, params) + 8, 4, false},
};
constexpr size_t kObjectFieldCount = sizeof(kObjectFields) / sizeof(kObjectFields[0]);

// Where each per-object constant goes in buffers of one layout, as ConstantBuffer::set
// would place it: `copy` bytes of the value at `offset`, then `zero` bytes of zeros; a
// constant the layout lacks (or that overruns the buffer) has copy = zero = 0.
struct ResolvedField {
  uint32_t offset, copy, zero;
};

// The placements for the last few buffer layouts drawn with. A layout is known by its
// contents (every variable's name hash, offset and size, and the buffer's size), never by
// the buffer's address: a reloaded program may get a buffer at a freed one's address.
class ObjectBlockPlaces {
 public:
  // Null for a buffer with more variables than an entry holds (then names are looked up).
  const ResolvedField* of(const ConstantBuffer& cb) {
    const size_t count = cb.variables.size();
    if (count > kMaxVariables) return nullptr;
    for (Entry& e : entries_)
      if (e.used && e.count == count && e.size == cb.size &&
          std::memcmp(e.variables, cb.variables.data(), count * sizeof(ConstantBuffer::Variable)) == 0)
        return e.fields;
    Entry& e = entries_[next_];
    next_ = (next_ + 1) % kEntries;
    e.used = true;
    e.count = count;
    e.size = cb.size;
    std::memcpy(e.variables, cb.variables.data(), count * sizeof(ConstantBuffer::Variable));
    for (size_t i = 0; i < kObjectFieldCount; ++i) {
      const ConstantBuffer::Variable* v = cb.find(kObjectFields[i].name);
      ResolvedField& f = e.fields[i];
      f = {0, 0, 0};
      if (!v || uint64_t(v->offset) + v->size > cb.size) continue;
      f.offset = v->offset;
      f.copy = std::min(v->size, kObjectFields[i].bytes);
      f.zero = v->size - f.copy;
    }
    return e.fields;
  }

 private:
  static constexpr size_t kEntries = 8, kMaxVariables = 64;
  struct Entry {
    bool used = false;
    size_t count = 0;
    uint32_t size = 0;
    ConstantBuffer::Variable variables[kMaxVariables];
    ResolvedField fields[kObjectFieldCount];
  };
  Entry entries_[kEntries];
  size_t next_ = 0;
};

thread_local ObjectBlockPlaces tPlaces;

void transposed(const float* m, float (&t)[16]) {
  for (int row = 0; row < 4; ++row)
    for (int col = 0; col < 4; ++col) t[col * 4 + row] = m[row * 4 + col];
}

}  // namespace

void writeObjectConstants(ConstantWriter& w, const ObjectConstants& c) {
  const auto* base = reinterpret_cast<const uint8_t*>(&c);
  ConstantBuffer* cb = w.buffer();
  // Draws write the same block into the same few layouts thousands of times a frame: the
  // names are resolved once per layout and the values written by offset, byte for byte what
  // writing them by name gives. A writer that records its writes goes by name.
  const ResolvedField* places = cb && cb->mapped && !w.recording() ? tPlaces.of(*cb) : nullptr;
  if (!places) {
    for (const ObjectField& f : kObjectFields) {
      if (f.matrix)
        w.matrix(f.name, *reinterpret_cast<const float(*)[16]>(base + f.at));
      else
        w.write(f.name, base + f.at, f.bytes);
    }
    return;
  }
  for (size_t i = 0; i < kObjectFieldCount; ++i) {
    const ResolvedField& p = places[i];
    if (!p.copy) continue;
    uint8_t* to = cb->mapped + p.offset;
    const uint8_t* from = base + kObjectFields[i].at;
    if (kObjectFields[i].matrix && p.copy == 64) {
      objmat::storeTransposed(*reinterpret_cast<const Float4x4*>(from), to);
      if (p.zero) std::memset(to + 64, 0, p.zero);
      continue;
    }
    float t[16];
    if (kObjectFields[i].matrix) {
      transposed(reinterpret_cast<const float*>(from), t);
      from = reinterpret_cast<const uint8_t*>(t);
    }
    // The sizes the block declares, as fixed copies the compiler writes out in place.
    switch (p.copy) {
      case 4: std::memcpy(to, from, 4); break;
      case 8: std::memcpy(to, from, 8); break;
      case 16: std::memcpy(to, from, 16); break;
      case 64: std::memcpy(to, from, 64); break;
      default: std::memcpy(to, from, p.copy); break;
    }
    if (p.zero) std::memset(to + p.copy, 0, p.zero);
  }
}

void writeObjectConstants(ConstantWriter& w, const Context& ctx) {
  // A fresh block would be filled with identities and zeros first, at every draw, only to
  // be overwritten.
  thread_local ObjectConstants block;
  computeObjectConstants(ctx, block);
  writeObjectConstants(w, block);
}

namespace {

// The names and sizes writeObjectConstants writes, taken from the function itself: a
// program without buffers records every write and stores none.
const std::vector<ProgramTrace::Constant>& objectBlock() {
  static const std::vector<ProgramTrace::Constant> block = [] {
    ShaderProgram none(nullptr);
    ProgramTrace trace;
    {
      ConstantWriter w(&none, "", &trace);
      writeObjectConstants(w, ObjectConstants{});
    }
    for (ProgramTrace::Constant& c : trace.constants) c.program = nullptr;
    return trace.constants;
  }();
  return block;
}

bool materialParameter(const std::string& name) { return name == "gParam1" || name == "gParam2" || name == "gParam3"; }

}  // namespace

bool checkObjectConstants(const ShaderProgram* program, const char* file, ObjectBlockUse use,
                          std::initializer_list<const char*> passOwn) {
  if (!program) return true;
  const ConstantBuffer* cb = program->constantBuffer(0);
  if (!cb) {
    if (use == ObjectBlockUse::Partial) return true;
    logMessage("Shader %s: no b0, so none of the per-object constants reaches it\n", file);
    return false;
  }
  bool ok = true;
  for (const ProgramTrace::Constant& c : objectBlock()) {
    if (std::any_of(passOwn.begin(), passOwn.end(), [&](const char* own) { return c.name == own; })) continue;
    const ConstantBuffer::Variable* v = cb->find(c.name.c_str());
    if (!v) {
      if (use == ObjectBlockUse::Whole && !materialParameter(c.name)) {
        logMessage("Shader %s: b0 lacks the per-object constant %s, so no draw sets it\n", file, c.name.c_str());
        ok = false;
      }
    } else if (v->size != c.bytes) {
      logMessage("Shader %s: the per-object constant %s has %u bytes in b0, but draws write %u\n", file,
                 c.name.c_str(), v->size, c.bytes);
      ok = false;
    }
  }
  return ok;
}

RenderStateDesc gbufferRenderState() {
  RenderStateDesc d = RenderStateDesc::zeroed();
  d.flags = kDepthTest | kDepthWrite | kStencil | kCullBack;  // 0x17
  d.depthFunc = D3D11_COMPARISON_LESS_EQUAL;
  d.stencilReadMask = 0xFF;
  d.stencilWriteMask = 0xFF;
  d.stencilRef = 1;
  // Keep on fail, replace with the reference on pass, always compare. Both faces compare
  // "always": with "never" on the front faces (the only ones the culling lets through)
  // no pixel of any mesh would reach the G-buffer.
  const uint8_t face[4] = {D3D11_STENCIL_OP_KEEP, D3D11_STENCIL_OP_KEEP, D3D11_STENCIL_OP_REPLACE,
                           D3D11_COMPARISON_ALWAYS};
  for (int i = 0; i < 4; ++i) d.frontFace[i] = d.backFace[i] = face[i];
  return d;
}

namespace {

Texture* makeDefaultTexture(Device* device, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
  const uint8_t texel[4] = {r, g, b, a};
  uint8_t data[2 * 2 * 4];
  for (int i = 0; i < 4; ++i)
    for (int k = 0; k < 4; ++k) data[i * 4 + k] = texel[k];
  TextureDesc desc;
  desc.flags = kTextureFlag | kUsageImmutable | kBindShaderResource;
  desc.format = format::RGBA8;
  desc.width = 2;
  desc.height = 2;
  return createTexture(device, desc, data);
}

std::unique_ptr<ShaderProgram> loadRendererProgram(Device* device, const char* name, const char* vs,
                                                   const char* ps) {
  auto program = std::make_unique<ShaderProgram>(device);
  if (!loadProgramAuto(name, EntryPoints::vsps(vs, ps), program.get())) {
    logMessage("G-buffer renderer: failed to load shader %s (%s, %s)\n", name, vs, ps);
    return nullptr;
  }
  return program;
}

}  // namespace

std::unique_ptr<GBufferRenderer> GBufferRenderer::Create(Device* device) {
  if (!device) return nullptr;
  std::unique_ptr<GBufferRenderer> r(new GBufferRenderer);
  r->device = device;
  r->context = device->context();
  r->gbufferProgram = loadRendererProgram(device, "gbuffer", "VS", "PS");
  r->instanceProgram = loadRendererProgram(device, "gbufferInstance", "VS", "PS");
  r->plainProgram = loadRendererProgram(device, "gbuffer", "VS", "PSPlain");
  r->plainInstanceProgram = loadRendererProgram(device, "gbufferInstance", "VS", "PSPlain");
  r->copyProgram = loadRendererProgram(device, "copy", "VS", "PS");
  r->depthCopyProgram = loadRendererProgram(device, "copy", "VS", "PSDepth");
  checkObjectConstants(r->gbufferProgram.get(), "gbuffer", ObjectBlockUse::Whole);
  checkObjectConstants(r->instanceProgram.get(), "gbufferInstance", ObjectBlockUse::Whole);
  checkObjectConstants(r->plainProgram.get(), "gbuffer", ObjectBlockUse::Whole);
  checkObjectConstants(r->plainInstanceProgram.get(), "gbufferInstance", ObjectBlockUse::Whole);
  RenderState* state = device->stateFor(gbufferRenderState());
  for (ShaderProgram* p : {r->gbufferProgram.get(), r->instanceProgram.get(), r->plainProgram.get(),
                           r->plainInstanceProgram.get()})
    if (p) p->state = state;
  // The device keeps its samplers as long as it lives, and so this renderer.
  r->materialSampler = device->samplerFor(SamplerDesc::forMode(kMaterialSamplerMode));
  r->whiteTexture = makeDefaultTexture(device, 0xFF, 0xFF, 0xFF, 0xFF);
  r->flatNormalTexture = makeDefaultTexture(device, 0x80, 0x80, 0xFF, 0x00);
  return r;
}

GBufferRenderer::~GBufferRenderer() {
  deleteTexture(whiteTexture);
  deleteTexture(flatNormalTexture);
}

ShaderProgram* GBufferRenderer::programFor(const Context& ctx) const {
  return ctx.shader ? ctx.shader : gbufferProgram.get();
}

void GBufferRenderer::bindMaterialTextures(ShaderProgram* program, const Context& ctx) const {
  if (!program) return;
  Texture* const slots[5] = {
      ctx.albedoTexture ? ctx.albedoTexture : whiteTexture,
      ctx.roughnessTexture ? ctx.roughnessTexture : whiteTexture,
      ctx.metalnessTexture ? ctx.metalnessTexture : whiteTexture,
      ctx.emissiveTexture ? ctx.emissiveTexture : whiteTexture,
      ctx.normalTexture ? ctx.normalTexture : flatNormalTexture,
  };
  // setResource and setSampler, slot by slot, with their lists grown once.
  static_assert(5 <= kShaderResourceSlots && 5 <= kSamplerSlots, "the material slots exist");
  std::vector<Texture*>& resources = program->resources[hlsl::Pixel];
  std::vector<Sampler*>& samplers = program->samplers[hlsl::Pixel];
  if (resources.size() < 5) resources.resize(5, nullptr);
  if (samplers.size() < 5) samplers.resize(5, nullptr);
  for (uint32_t i = 0; i < 5; ++i) {
    resources[i] = slots[i];
    samplers[i] = materialSampler;
  }
}

bool GBufferRenderer::setObjectConstants(ShaderProgram* program, const Context& ctx) {
  return setObjectConstants(program, ctx, [](ConstantWriter&) {});
}

ShaderProgram* GBufferRenderer::withoutTextures(ShaderProgram* program, const Context& ctx) const {
  if (ctx.albedoTexture || ctx.roughnessTexture || ctx.metalnessTexture || ctx.emissiveTexture || ctx.normalTexture)
    return program;
  ShaderProgram* plain = program == gbufferProgram.get()   ? plainProgram.get()
                         : program == instanceProgram.get() ? plainInstanceProgram.get()
                                                            : nullptr;
  if (!plain) return program;
  // Whatever state the caller gave the program for this draw (two-sided pieces, say).
  plain->state = program->state;
  return plain;
}

void GBufferRenderer::draw(const Mesh& mesh, Context& ctx, ShaderProgram* program, uint32_t instances,
                           uint32_t flags, const DrawRange* range, bool unbindTargets) {
  if (!program || !ctx.scenePass) return;
  bindRenderPass(device, *ctx.scenePass);
  ShaderProgram* drawn = withoutTextures(program, ctx);
  // The plain programs have no material slots to fill.
  if (drawn == program) bindMaterialTextures(program, ctx);
  program = drawn;
  setObjectConstants(program, ctx);
  DrawRequest request;
  request.instanceCount = instances;
  request.flags = flags;
  request.program = program;
  request.mesh = &mesh;
  request.range = range;
  submitDraw(request);
  if (unbindTargets) unbindRenderTargets(device);
}

void GBufferRenderer::DrawMesh(const Mesh& mesh, Context& ctx, const DrawRange* range) {
  draw(mesh, ctx, programFor(ctx), 0, 0, range, true);
}

void GBufferRenderer::DrawMeshKeepTargets(const Mesh& mesh, Context& ctx, const DrawRange* range) {
  draw(mesh, ctx, programFor(ctx), 0, 0, range, false);
}

void GBufferRenderer::DrawMeshInstanced(const Mesh& mesh, Context& ctx, uint32_t instanceCount) {
  ShaderProgram* program = programFor(ctx);
  if (program == gbufferProgram.get()) program = instanceProgram.get();
  draw(mesh, ctx, program, instanceCount, kDrawInstanced, nullptr, true);
}
