#include "scene/Destruction.h"

#include <algorithm>
#include <cstdio>

#include "engine/Choice.h"
#include "engine/FloatOperators.h"
#include "gfx/ConstantWriter.h"
#include "gfx/Device.h"
#include "gfx/DeviceContext.h"
#include "gfx/FatalError.h"
#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "gfx/Texture.h"
#include "scene/GBufferRenderer.h"
#include "scene/SceneContext.h"
#include "scene/ModelReader.h"
#include "scene/SceneOpSupport.h"
#include "scene/ShadowCasters.h"

namespace {

Texture* makeBuffer(Device* device, uint32_t flags, uint32_t elements, uint32_t stride, const void* data) {
  TextureDesc desc;
  desc.flags = flags;
  desc.bitsPerPixel = stride * 8;
  desc.width = elements;
  return createTexture(device, desc, data);
}

// A non-indexed triangle list over one 44-byte vertex buffer.
std::unique_ptr<Mesh> soupMesh(Device* device, uint32_t flags, uint32_t vertices, const void* data) {
  auto mesh = std::make_unique<Mesh>();
  mesh->vertexBuffers[0] = makeBuffer(device, flags, vertices, sizeof(MeshVertex), data);
  if (!mesh->vertexBuffers[0]) return nullptr;
  mesh->ownedBuffers = 1;
  mesh->strides[0] = sizeof(MeshVertex);
  mesh->layout = device->defaultInputLayout(1);
  mesh->topology = D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST;
  mesh->vertexCount = vertices;
  return mesh;
}

// The render state of `program` without back-face culling (pieces are open shells).
RenderState* twoSided(Device* device, const ShaderProgram* program) {
  RenderStateDesc desc = program && program->state ? program->state->desc : device->defaultState()->desc;
  desc.flags &= ~uint32_t(kCullBack);
  return device->stateFor(desc);
}

// The cut buffers are read and written by the compute passes, read by the drawing program,
// and drawn as plain vertex buffers by the shadow passes.
constexpr uint32_t kCutBufferFlags = kStructuredBuffer | kBindShaderResource | kBindUnorderedAccess | kBindVertexBuffer;
// The imported sub-mesh is also read by the first cut.
constexpr uint32_t kCutSourceFlags = kStructuredBuffer | kUsageImmutable | kBindShaderResource | kBindVertexBuffer;
constexpr uint32_t kCounterFlags = kStructuredBuffer | kBindShaderResource | kBindUnorderedAccess;

}  // namespace

SubMeshList LoadFracturedMesh(const std::string& path, const FractureOptions& options, Device* device) {
  if (!device) device = gDevice;
  SubMeshList pieces;
  std::vector<ModelPart> parts;
  std::string error;
  if (!readModelFile(path, {}, parts, &error)) {
    logMessage("Cannot read mesh file %s: %s\n", path.c_str(), error.c_str());
    return pieces;
  }
  if (!device) return pieces;
  for (const ModelPart& part : parts) {
    for (const TriangleSoup& soup : fractureMesh(part.vertices, part.indices, options)) {
      std::shared_ptr<Mesh> mesh = soupMesh(device, kMeshVertexBufferFlags, uint32_t(soup.size()), soup.data());
      if (mesh) pieces.push_back({std::move(mesh), Float4x4::identity()});
    }
  }
  return pieces;
}

int32_t dynaMeshPlaneCount(float planeCount) { return std::clamp(truncToInt32(planeCount), 1, 32); }

uint32_t dynaMeshMultiplier(uint32_t vertexCount, int32_t planeCount) {
  return vertexCount < 1024 ? 20u : ((uint32_t(planeCount) >> 3) + 1) * 3;
}

void dynaMeshGroups(uint64_t triangles, uint32_t& gx, uint32_t& gy) {
  gx = gy = 1;
  bool xTurn = true;
  while (uint64_t(gx) * gy * 256 < triangles && (gx < 64 || gy < 64)) {
    uint32_t& g = xTurn ? gx : gy;
    g = g * 16 > 512 ? 64 : g * 2;
    xTurn = !xTurn;
  }
}

DynaAxes dynaMeshAxes(bool x, bool y, bool z) {
  DynaAxes a;
  a.count = 0;
  if (x) a.axis[a.count++] = 0;
  if (y) a.axis[a.count++] = 1;
  if (z) a.axis[a.count++] = 2;
  if (a.count == 0) a.axis[a.count++] = 0;
  return a;
}

void dynaMeshPlanes(const DynaMeshPlanes& s, std::vector<DynaPlane>& planes) {
  planes.clear();
  const int axisCount = std::clamp(s.axes.count, 1, 3);
  float acc[3] = {0.0f, 0.0f, 0.0f};
  const float axisPhase[3] = {s.axisPhase.x, s.axisPhase.y, s.axisPhase.z};
  const float scale = 2.0f / 32767.0f;
  for (int32_t k = 0; k < s.count; ++k) {
    DynaPlane p;
    p.axis = std::clamp(s.axes.axis[k % axisCount], 0, 2);
    const Float3 base = p.axis == 0 ? Float3{1, 0, 0} : p.axis == 1 ? Float3{0, 1, 0} : Float3{0, 0, 1};
    const float a1 = static_cast<float>(crtRand()) * s.randomness * scale - s.randomness;
    const float a2 = static_cast<float>(crtRand()) * s.randomness * scale - s.randomness;
    const float a3 = static_cast<float>(crtRand()) * s.randomness * scale - s.randomness;
    p.direction = normalize(mat::transformVector(base, mat::rotationX(a3) * mat::rotationY(a2) * mat::rotationZ(a1)));
    p.point = p.direction * (acc[p.axis] + s.phase + axisPhase[p.axis]) + s.offset;
    acc[p.axis] += s.distance;
    planes.push_back(p);
  }
}

// ---------------------------------------------------------------- DestructMesh

const ParamDecl DestructMeshOp::kParams[] = {
    param::path("Filepath"),
    param::integer("MeshID", 0.0f),
    param::boolean("CastShadows", true),
    param::choice("Technique", 0.0f, "Planes|Spheres"),
    param::number("Strength", 0.0f),
    param::number("Randomness", 0.0f),
};
static_assert(std::size(DestructMeshOp::kParams) == DestructMeshOp::Count);

DestructMeshOp::DestructMeshOp() : Operator(CategoryGeometry) {
  declareInputs(kParams);
  addOutput("SceneOut", PortType::Scene, std::make_unique<DestructMeshFunction>());
  linkOutput();
}

void DestructMeshOp::DestructMeshFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  if (needsInit && !evalText(s, Filepath, t, ctx).empty()) {
    const std::string path = ctx.textResult;  // the options below are evaluated first
    FractureOptions options;
    options.technique = evalChoice(s, Technique, t, ctx);
    options.randomness = evalFloat(s, Randomness, t, ctx);
    pieces = LoadFracturedMesh(path, options, deviceOf(ctx));
    needsInit = 0;
  }
  const int32_t meshId = truncToInt32(evalFloat(s, MeshID, t, ctx));
  const float strength = evalFloat(s, Strength, t, ctx);
  const bool castShadows = evalFloat(s, CastShadows, t, ctx) > 0.5f;
  GBufferRenderer* r = ctx.gbufferRenderer;
  if (!r || !r->device || pieces.empty()) return;

  // Pieces are open shells: drawn without back-face culling. The program's own state is put
  // back afterwards, so the meshes drawn after the pieces with it are culled as before.
  ShaderProgram* program = r->programFor(ctx);
  if (!program) return;
  RenderState* before = program->state;
  program->state = twoSided(r->device, program);

  auto drawPiece = [&](const SubMeshEntry& piece) {
    r->DrawMesh(*piece.mesh, ctx);
    if (castShadows) AddShadowCaster(piece.mesh.get(), ctx.world, kCasterMesh, 0);
  };
  if (meshId < 0) {
    SavedWorld saved(ctx);
    const Float4x4& w = saved.world();
    for (size_t i = 0; i < pieces.size(); ++i) {
      // The offset is in the object's own frame.
      const Float3 v = pieceOffset(uint32_t(i), strength);
      Float4x4 moved = w;
      moved.setRow(3, w.row3(0) * v.x + w.row3(1) * v.y + w.row3(2) * v.z + w.row3(3), w.at(3, 3));
      ctx.world = moved;
      drawPiece(pieces[i]);
    }
  } else if (size_t(meshId) < pieces.size()) {
    drawPiece(pieces[size_t(meshId)]);
  }
  program->state = before;
}

// ---------------------------------------------------------------- DynaMesh

const ParamDecl DynaMeshOp::kParams[] = {
    param::shader("Shader CS Filepath", "data/shaders/dynaMeshCS.hlsl"),
    param::shader("Shader VS/PS Filepath", "data/shaders/dynaMeshVSPS.hlsl"),
    param::path("Filepath"),
    param::integer("MeshID", -1.0f),
    param::boolean("CastShadows", true),
    param::choice("Technique", 0.0f, "Planes|Spheres"),
    param::number("Strength", 0.0f),
    param::number("Randomness", 0.0f),
    param::integer("Plane Count", 3.0f),
    param::number("Phase", 0.0f),
    param::number("Phase X", 0.0f), param::number("Phase Y", 0.0f), param::number("Phase Z", 0.0f),
    param::boolean("Plane X Enabled", true), param::boolean("Plane Y Enabled", true),
    param::boolean("Plane Z Enabled", true),
    param::number("Plane X Offset", 0.0f), param::number("Plane Y Offset", 0.0f),
    param::number("Plane Z Offset", 0.0f),
    param::number("Plane Distance", 1.0f),
};
static_assert(std::size(DynaMeshOp::kParams) == DynaMeshOp::Count);

DynaMeshOp::DynaMeshOp() : Operator(CategoryGeometry) {
  declareInputs(kParams);
  addOutput("SceneOut", PortType::Scene, std::make_unique<DynaMeshFunction>());
  linkOutput();
}

DynaMeshOp::DynaMeshFunction::DynaMeshFunction() = default;

DynaMeshOp::DynaMeshFunction::~DynaMeshFunction() {
  for (Texture*& c : counters) deleteTexture(c);
}

void DynaMeshOp::DynaMeshFunction::load(const std::string& path, float planeCountValue, Context& ctx) {
  const int32_t planeCount = truncToInt32(planeCountValue);
  if (!planeCountSeen) {
    lastPlaneCount = planeCount;
    planeCountSeen = true;
  }
  if (path.empty() || (planeCount == lastPlaneCount && loaded)) return;
  lastPlaneCount = planeCount;
  const int32_t planes = dynaMeshPlaneCount(planeCountValue);
  Device* device = deviceOf(ctx);
  if (!device) return;
  for (Texture*& c : counters) {
    const uint32_t zero = 0;
    if (!c) c = makeBuffer(device, kCounterFlags, 1, 4, &zero);
  }
  MeshImportOptions options = MeshImportOptions::forOperators();
  options.indexed = false;
  options.vertexBufferFlags = kCutSourceFlags;
  subs.clear();
  for (SubMeshEntry& e : LoadMeshFile(path, options, false, device)) {
    Sub sub;
    sub.source = std::move(e);
    if (sub.source.mesh) {
      const uint32_t vertices = sub.source.mesh->vertexCount;
      const uint32_t capacity = vertices * dynaMeshMultiplier(vertices, planes);
      sub.a = soupMesh(device, kCutBufferFlags, capacity, nullptr);
      sub.b = soupMesh(device, kCutBufferFlags, capacity, nullptr);
    }
    subs.push_back(std::move(sub));
  }
  loaded = true;
}

void DynaMeshOp::DynaMeshFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  if (needsInit) {
    needsInit = 0;
    loadProgramFromFile(evalText(s, ShaderCS, t, ctx).c_str(), EntryPoints::compute("CS"), computeProgram);
    const std::string& drawFile = evalText(s, ShaderVSPS, t, ctx);
    if (loadProgramFromFile(drawFile.c_str(), EntryPoints::vsps("VS", "PS"), drawProgram))
      checkObjectConstants(drawProgram.get(), drawFile.c_str(), ObjectBlockUse::Whole);
  }
  static const char* const kClearFile = "data/shaders/dynaMeshClearGlobalsCS.hlsl";
  if (!clearProgram) loadProgramFromFile(kClearFile, EntryPoints::compute("CS"), clearProgram);
  if (!resetProgram) loadProgramFromFile(kClearFile, EntryPoints::compute("ResetCS"), resetProgram);
  if (!clearProgram || !resetProgram) return;

  const std::string& file = evalText(s, Filepath, t, ctx);
  load(file, evalFloat(s, PlaneCount, t, ctx), ctx);

  const int32_t meshId = truncToInt32(evalFloat(s, MeshID, t, ctx));
  const float strength = evalFloat(s, Strength, t, ctx);
  DynaMeshPlanes planes;
  planes.phase = evalFloat(s, Phase, t, ctx);
  planes.axisPhase = evalFloat3(s, PhaseX, t, ctx);
  const bool enabled[3] = {evalFloat(s, PlaneXEnabled, t, ctx) > 0.0f, evalFloat(s, PlaneYEnabled, t, ctx) > 0.0f,
                           evalFloat(s, PlaneZEnabled, t, ctx) > 0.0f};
  planes.axes = dynaMeshAxes(enabled[0], enabled[1], enabled[2]);
  planes.distance = evalFloat(s, PlaneDistance, t, ctx);
  planes.randomness = evalFloat(s, Randomness, t, ctx);
  planes.offset = evalFloat3(s, PlaneXOffset, t, ctx);

  GBufferRenderer* r = ctx.gbufferRenderer;
  Device* device = deviceOf(ctx);
  if (!r || !device || !computeProgram || !drawProgram || !counters[0] || !counters[1]) return;
  drawProgram->state = twoSided(device, r->programFor(ctx));
  DeviceContext* dc = device->context();
  if (!drawRecord_) drawRecord_ = std::make_unique<Mesh>();

  SavedWorld saved(ctx);
  const size_t first = meshId < 0 ? 0 : size_t(meshId);
  const size_t end = meshId < 0 ? subs.size() : std::min(subs.size(), first + 1);
  for (size_t index = first; index < end; ++index) {
    Sub& sub = subs[index];
    if (!sub.source.mesh || !sub.a || !sub.b) continue;
    crtSrand(1234);
    char label[32];
    std::snprintf(label, sizeof label, "Mesh %zu", index);
    dc->beginEvent(label);
    planes.count = dynaMeshPlaneCount(evalFloat(s, PlaneCount, t, ctx));
    const uint32_t vertices = sub.source.mesh->vertexCount;
    const uint32_t m = dynaMeshMultiplier(vertices, planes.count);
    const uint32_t triangles = vertices / 3;
    const Float4x4& node = sub.source.transform;
    const Float4x4 toSubMesh = mat::inverse(node);

    Texture* source = sub.source.mesh->vertexBuffers[0];
    Mesh* destination = sub.a.get();
    uint32_t gx = 1, gy = 1;
    bool firstPlane = true;
    dynaMeshPlanes(planes, planes_);
    for (const DynaPlane& plane : planes_) {
      // The first cut reads the imported triangles; later ones whatever the buffer can hold.
      dynaMeshGroups(firstPlane ? triangles : uint64_t(triangles) * m, gx, gy);
      firstPlane = false;
      const Float4 pos = mat::transform({plane.point.x, plane.point.y, plane.point.z, 1.0f}, toSubMesh);
      const Float4 dir = mat::transform({plane.direction.x, plane.direction.y, plane.direction.z, 0.0f}, toSubMesh);
      if (ConstantWriter cb(computeProgram.get(), "destruction cut", nullptr, 0, MapFailure::Skip); cb.mapped()) {
        cb.set("gThreadGroupsX", gx);
        cb.set("gThreadGroupsY", gy);
        cb.set("triCountSrc", triangles);
        cb.set("additionalTriMultiplier", m);
        cb.set("strength", strength);
        cb.set("planePos", pos);
        cb.set("planeDir", dir);
      }
      computeProgram->setResource(hlsl::Compute, 0, source);
      computeProgram->setResource(hlsl::Compute, 1, counters[0]);
      computeProgram->setUav(0, destination->vertexBuffers[0]);
      computeProgram->setUav(1, counters[1]);
      dispatch(computeProgram.get(), gx, gy);
      dc->copyResource(counters[0], counters[1]);
      source = destination->vertexBuffers[0];
      destination = destination == sub.a.get() ? sub.b.get() : sub.a.get();
    }
    Mesh* last = destination == sub.a.get() ? sub.b.get() : sub.a.get();

    if (ConstantWriter cb(resetProgram.get(), "destruction reset", nullptr, 0, MapFailure::Skip); cb.mapped()) {
      cb.set("gThreadGroupsX", gx);
      cb.set("gThreadGroupsY", gy);
      cb.set("triCountSrc", triangles);
    }
    resetProgram->setUav(0, last->vertexBuffers[0]);
    resetProgram->setUav(1, counters[1]);
    dispatch(resetProgram.get(), gx, gy);
    clearProgram->setUav(1, counters[1]);
    clearProgram->setUav(2, counters[0]);
    dispatch(clearProgram.get(), 1, 1);

    ctx.world = node * saved.world();
    ctx.worldPrev = node * saved.worldPrev();
    if (ctx.scenePass) {
      drawProgram->setResource(hlsl::Vertex, 1, last->vertexBuffers[0]);
      drawProgram->setSampler(hlsl::Vertex, 1, device->samplerFor(SamplerDesc::forMode(kMaterialSamplerMode)));
      bindRenderPass(device, *ctx.scenePass);
      r->setObjectConstants(drawProgram.get(), ctx);
      drawRecord_->vertexCount = 3 * (last->vertexCount / 3);
      DrawRequest request;
      request.program = drawProgram.get();
      request.mesh = drawRecord_.get();
      submitDraw(request);
      unbindRenderTargets(device);
    }
    if (evalFloat(s, CastShadows, t, ctx) > 0.5f) AddShadowCaster(last, ctx.world, kCasterMesh, 0);
    dc->endEvent();
  }
}
