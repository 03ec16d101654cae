#include "scene/InstancedMeshes.h"

#include <algorithm>
#include <cfloat>
#include <cstring>

#include "engine/Choice.h"
#include "engine/FloatOperators.h"
#include "gfx/Device.h"
#include "gfx/DeviceContext.h"
#include "gfx/FatalError.h"
#include "gfx/InputLayout.h"
#include "gfx/Texture.h"
#include "scene/GBufferRenderer.h"
#include "scene/SceneContext.h"
#include "scene/SceneOpSupport.h"
#include "scene/ShadowCasters.h"

namespace {

constexpr uint32_t kInstanceStride = sizeof(Float4x4);
static_assert(kInstanceStride == 64);

bool sameFloat3(Float3 a, Float3 b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

bool sameSettings(const ReplicateSettings& a, const ReplicateSettings& b) {
  return a.count == b.count && a.radius == b.radius && a.mode == b.mode && a.seed == b.seed &&
         a.orientation == b.orientation && sameFloat3(a.offsetRandom, b.offsetRandom) &&
         sameFloat3(a.offset, b.offset) && a.wrap == b.wrap && sameFloat3(a.rotateRandom, b.rotateRandom) &&
         a.sizeRandom == b.sizeRandom;
}

}  // namespace

// ---------------------------------------------------------------- shared

InstancedFunction::~InstancedFunction() = default;

void InstancedFunction::load(const std::string& path, Context& ctx) {
  if (!needsInit || path.empty()) return;
  subMeshes.clear();
  subMeshes = LoadMeshFile(path, MeshImportOptions::forOperators(), true, deviceOf(ctx));
  needsInit = 0;
}

const Mesh* InstancedFunction::select(int32_t meshId) const {
  const uint32_t index = uint32_t(meshId);
  return index < subMeshes.size() ? subMeshes[index].mesh.get() : nullptr;
}

bool InstancedFunction::prepare(const Mesh& mesh, int32_t count, Context& ctx) {
  if (count == bufferCount && &mesh == bufferMesh && instanced) return false;
  Device* device = deviceOf(ctx);
  if (!device) return false;
  if (!instancedLayout) instancedLayout.reset(createInputLayout(device, kInstancedLayoutCodes));
  if (!instanced) instanced = std::make_unique<Mesh>();
  Mesh& m = *instanced;
  // The replaced stream is not used again; draws already recorded keep what they need.
  if (m.ownedBuffers & 2) deleteTexture(m.vertexBuffers[1]);
  m.indexFormat = mesh.indexFormat;
  m.indexBuffer = mesh.indexBuffer;
  m.vertexBuffers[0] = mesh.vertexBuffers[0];
  m.strides[0] = mesh.strides[0];
  m.topology = mesh.topology;
  m.indexed = mesh.indexed;
  m.indexCount = mesh.indexCount;
  m.firstIndex = mesh.firstIndex;
  m.vertexCount = mesh.vertexCount;
  m.baseVertex = mesh.baseVertex;
  m.layout = instancedLayout.get();
  TextureDesc desc;
  desc.flags = kBindVertexBuffer | kUsageDynamic;
  desc.bitsPerPixel = kInstanceStride * 8;
  desc.width = uint32_t(count);
  instanceBuffer = createTexture(device, desc, nullptr);
  m.vertexBuffers[1] = instanceBuffer;
  m.strides[1] = kInstanceStride;
  m.ownedBuffers = 2;  // the instance stream only: the sub-mesh's buffers stay the cache's
  bufferCount = count;
  bufferMesh = &mesh;
  return true;
}

template <typename Fill>
void InstancedFunction::write(Context& ctx, Fill&& fill) {
  Device* device = deviceOf(ctx);
  MappedSubresource mapped;
  if (!device || !instanceBuffer || !device->context()->map(instanceBuffer, 0, D3D11_MAP_WRITE_DISCARD, mapped))
    fatalError("Failed to map the instance buffer");
  fill(static_cast<Float4x4*>(mapped.data));
  device->context()->unmap(instanceBuffer, 0);
}

void InstancedFunction::draw(Context& ctx, int32_t count) {
  GBufferRenderer* r = ctx.gbufferRenderer;
  if (!r || !instanced) return;
  ShaderProgram* previous = ctx.shader;
  ctx.shader = r->instanceProgram.get();
  r->DrawMeshInstanced(*instanced, ctx, uint32_t(count));
  ctx.shader = previous;
}

// ---------------------------------------------------------------- RepeatInst

const ParamDecl RepeatInstOp::kParams[] = {
    param::path("Filepath"),
    param::integer("MeshID", 0.0f),
    param::number("Count", 1.0f),
    param::number("Position.X", 0.0f), param::number("Position.Y", 0.0f), param::number("Position.Z", 0.0f),
    param::number("Rotation.X", 0.0f), param::number("Rotation.Y", 0.0f), param::number("Rotation.Z", 0.0f),
    param::number("Scale.X", 1.0f), param::number("Scale.Y", 1.0f), param::number("Scale.Z", 1.0f),
};
static_assert(std::size(RepeatInstOp::kParams) == RepeatInstOp::Count);

RepeatInstOp::RepeatInstOp() : Operator(CategoryGeometry) {
  declareInputs(kParams);
  addOutput("OutScene", PortType::Scene, std::make_unique<RepeatFunction>());
  linkOutput();
}

void RepeatInstOp::RepeatFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  load(evalText(s, Filepath, t, ctx), ctx);
  const int32_t meshId = truncToInt32(evalFloat(s, MeshID, t, ctx));
  const int32_t count = std::clamp(truncToInt32(evalFloat(s, InstanceCount, t, ctx)), 1, kMaxInstances);
  const Float3 position = evalFloat3(s, PositionX, t, ctx);
  const Float3 rotation = evalFloat3(s, RotationX, t, ctx);
  const Float3 scale = evalFloat3(s, ScaleX, t, ctx);
  const Mesh* mesh = select(meshId);
  if (!mesh) return;
  prepare(*mesh, count, ctx);
  write(ctx, [&](Float4x4* out) {
    for (int32_t i = 0; i < count; ++i) out[i] = repeatStep(i, position, rotation, scale);
  });
  draw(ctx, count);
}

// ---------------------------------------------------------------- ReplicateInst

const ParamDecl ReplicateInstOp::kParams[] = {
    param::path("Filepath"),
    param::integer("MeshID", 0.0f),
    param::number("Count", 1.0f),
    param::number("Radius", 1.0f),
    param::choice("Mode", 0.0f, "Ring|Point|Disc|Spherical"),
    param::number("Seed", 0.0f),
    param::number("OffsetRandom.X", 0.0f), param::number("OffsetRandom.Y", 0.0f), param::number("OffsetRandom.Z", 0.0f),
    param::number("SizeRandom", 0.0f),
    param::choice("Orientation", 0.0f, "Surface|Fixed"),
    param::number("Offset.X", 0.0f), param::number("Offset.Y", 0.0f), param::number("Offset.Z", 0.0f),
    param::number("Wrap", 0.0f),
    param::number("RotateRandom.X", 0.0f), param::number("RotateRandom.Y", 0.0f), param::number("RotateRandom.Z", 0.0f),
};
static_assert(std::size(ReplicateInstOp::kParams) == ReplicateInstOp::Count);

ReplicateInstOp::ReplicateInstOp() : Operator(CategoryGeometry) {
  declareInputs(kParams);
  addOutput("OutScene", PortType::Scene, std::make_unique<ReplicateFunction>());
  linkOutput();
}

ReplicateInstOp::ReplicateFunction::Filled::Filled() {
  settings.count = 0x7FFFFFFF;
  settings.radius = FLT_MAX;
  settings.mode = 0x7FFFFFFF;
  settings.seed = 0x7FFFFFFF;
  settings.orientation = 0x7FFFFFFF;
  settings.offsetRandom = {FLT_MAX, FLT_MAX, FLT_MAX};
  settings.offset = {FLT_MAX, FLT_MAX, FLT_MAX};
  settings.wrap = FLT_MAX;
  settings.rotateRandom = {FLT_MAX, FLT_MAX, FLT_MAX};
  settings.sizeRandom = FLT_MAX;
}

void ReplicateInstOp::ReplicateFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  // Kept in a member: the comparison with the last fill needs it after other inputs were read,
  // and assigning an unchanged path every frame reuses its storage.
  path_ = evalText(s, Filepath, t, ctx);
  const std::string& path = path_;
  load(path, ctx);
  const int32_t meshId = truncToInt32(evalFloat(s, MeshID, t, ctx));
  ReplicateSettings now;
  now.count = std::min(truncToInt32(evalFloat(s, InstanceCount, t, ctx)), kMaxInstances);
  if (now.count < 1) return;
  now.radius = evalFloat(s, Radius, t, ctx);
  now.mode = evalChoice(s, Mode, t, ctx);
  now.seed = uint32_t(truncToInt32(evalFloat(s, Seed, t, ctx)));
  now.orientation = evalChoice(s, Orientation, t, ctx);

  const Mesh* mesh = select(meshId);
  if (!mesh) {
    filled.settings.count = now.count;
    filled.meshId = meshId;
    filled.path = path;
    return;
  }
  const bool made = prepare(*mesh, now.count, ctx);
  const Float4x4 world = ctx.world;
  const Float4x4& node = subMeshes[uint32_t(meshId)].transform;
  now.offsetRandom = evalFloat3(s, OffsetRandomX, t, ctx);
  now.wrap = evalFloat(s, Wrap, t, ctx);
  now.rotateRandom = evalFloat3(s, RotateRandomX, t, ctx);
  now.offset = evalFloat3(s, OffsetX, t, ctx);
  now.sizeRandom = evalFloat(s, SizeRandom, t, ctx);

  // A fresh buffer holds nothing yet, whatever the parameters say.
  if (made || !sameSettings(now, filled.settings) || meshId != filled.meshId || path != filled.path)
    write(ctx, [&](Float4x4* out) { replicateInstances(now, node, out); });
  draw(ctx, now.count);
  AddShadowCaster(instanced.get(), world, kCasterInstanced, uint32_t(now.count));
  filled.settings = now;
  filled.meshId = meshId;
  filled.path = path;
}
