#include "scene/Generators.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "engine/FloatOperators.h"
#include "gfx/ConstantWriter.h"
#include "gfx/Device.h"
#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "scene/Forces.h"
#include "scene/GBufferRenderer.h"
#include "scene/ShadowCasters.h"
#include "scene/Traversal.h"

uint32_t generatorPointCount(float value) {
  if (!(value >= 1.0f)) return 0;  // also NaN
  if (value >= float(kMaxGeneratorPoints)) return kMaxGeneratorPoints;
  return uint32_t(value);
}

namespace {

// Draws `count` points with the program into the Context's scene pass, with the
// per-object constants and the pass's own (written by `extra` while b0 is mapped).
template <typename Extra>
void drawPoints(ShaderProgram* program, Mesh& points, uint32_t count, Context& ctx, Extra&& extra) {
  GBufferRenderer* r = ctx.gbufferRenderer;
  if (!program || !r || !ctx.scenePass || count == 0) return;
  bindRenderPass(r->device, *ctx.scenePass);
  r->setObjectConstants(program, ctx, extra);
  points.topology = D3D11_PRIMITIVE_TOPOLOGY_POINTLIST;
  points.indexed = false;
  points.vertexCount = count;
  DrawRequest request;
  request.program = program;
  request.mesh = &points;
  submitDraw(request);
  unbindRenderTargets(r->device);
}

EntryPoints vsGsPs(const char* vs, const char* gs, const char* ps) {
  EntryPoints e = EntryPoints::vsps(vs, ps);
  e.entry[3] = gs;
  return e;
}

// Geometry expanded from points is seen from both sides.
void giveTwoSidedState(ShaderProgram* program) {
  if (!program || !program->device) return;
  RenderStateDesc desc = RenderStateDesc::defaults();
  desc.flags &= ~uint32_t(kCullBack);
  program->state = program->device->stateFor(desc);
}

Float3 readVec3(const std::vector<Port*>& s, uint32_t first, float t, Context& ctx) {
  return {evalFloat(s, first, t, ctx), evalFloat(s, first + 1, t, ctx), evalFloat(s, first + 2, t, ctx)};
}

}  // namespace

// ---------------------------------------------------------------- PointGrid

const ParamDecl PointGridOp::kParams[] = {
    param::shader("Shader", "data\\shaders\\custom\\grass.hlsl"),
    param::number("Size.X", 10.0f), param::number("Size.Y", 10.0f),
    param::number("Offset.X", 1.0f), param::number("Offset.Y", 1.0f),
    param::image("HeightMap"),
    param::number("Param1.X", 1.0f), param::number("Param1.Y", 1.0f), param::number("Param1.Z", 1.0f),
    param::number("Param1.W", 1.0f),
};
static_assert(std::size(PointGridOp::kParams) == PointGridOp::Count);

PointGridOp::PointGridOp() : Operator(CategoryGeometry) {
  declareInputs(kParams);
  addOutput("OutScene", PortType::Scene, std::make_unique<PointGridFunction>());
  linkOutput();
}

PointGridOp::PointGridFunction::PointGridFunction() = default;
PointGridOp::PointGridFunction::~PointGridFunction() = default;

void PointGridOp::PointGridFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  using P = PointGridOp;
  if (needsInit) {
    needsInit = 0;
    const std::string path = evalText(s, P::Shader, t, ctx);
    if (loadProgramFromFile(path.c_str(), vsGsPs("VS", "GS", "PS"), program)) {
      giveTwoSidedState(program.get());
      checkObjectConstants(program.get(), path.c_str(), ObjectBlockUse::Whole, {"gParam1"});
    }
  }
  if (!program) return;
  const Float2 size{evalFloat(s, P::SizeX, t, ctx), evalFloat(s, P::SizeY, t, ctx)};
  const Float2 offset{evalFloat(s, P::OffsetX, t, ctx), evalFloat(s, P::OffsetY, t, ctx)};
  const Float4 param1{evalFloat(s, P::Param1X, t, ctx), evalFloat(s, P::Param1Y, t, ctx),
                      evalFloat(s, P::Param1Z, t, ctx), evalFloat(s, P::Param1W, t, ctx)};
  // The height map feeds the vertex stage; an unconnected input binds nothing (reads 0),
  // never the picture of an earlier frame.
  Texture* heightMap = evalImageInput(s, P::HeightMap, t, ctx);
  program->setResource(hlsl::Vertex, 0, heightMap);
  Device* device = program->device;
  program->setSampler(hlsl::Vertex, 0,
                      heightMap && device ? device->samplerFor(SamplerDesc::forMode(kMaterialSamplerMode)) : nullptr);
  drawPoints(program.get(), points, generatorPointCount(size.x * size.y), ctx, [&](ConstantWriter& cb) {
    cb.set("gSize", size);
    cb.set("gOffset", offset);
    cb.set("gTime", t);
    cb.set("gParam1", param1);
  });
}

// ---------------------------------------------------------------- Corruption

const ParamDecl CorruptionOp::kParams[] = {
    param::shader("Shader", "data//shaders//custom//corruption.hlsl"),
    param::number("Point1.X", -2.0f), param::number("Point1.Y", 0.0f), param::number("Point1.Z", 0.0f),
    param::number("ControlPoint1.X", 1.0f), param::number("ControlPoint1.Y", 0.0f),
    param::number("ControlPoint1.Z", 0.0f),
    param::number("Point2.X", 2.0f), param::number("Point2.Y", 0.0f), param::number("Point2.Z", 0.0f),
    param::number("ControlPoint2.X", -1.0f), param::number("ControlPoint2.Y", 0.0f),
    param::number("ControlPoint2.Z", 0.0f),
    param::number("PointCout", 1024.0f),
    param::number("StartRadius", 4.0f),
    param::number("EndRadius", 4.0f),
    param::number("MiddleRadius", 1.0f),
    param::number("RadiusPower", 2.0f),
    param::number("EndPointOffset", 1.0f),
};
static_assert(std::size(CorruptionOp::kParams) == CorruptionOp::Count);

CorruptionOp::CorruptionOp() : Operator(CategoryGeometry) {
  declareInputs(kParams);
  addOutput("OutScene", PortType::Scene, std::make_unique<CorruptionFunction>());
  linkOutput();
}

CorruptionOp::CorruptionFunction::CorruptionFunction() = default;
CorruptionOp::CorruptionFunction::~CorruptionFunction() = default;

void CorruptionOp::CorruptionFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  using C = CorruptionOp;
  if (needsInit) {
    needsInit = 0;
    const std::string path = evalText(s, C::Shader, t, ctx);
    if (loadProgramFromFile(path.c_str(), vsGsPs("VS", "GS", "PS"), program)) {
      giveTwoSidedState(program.get());
      checkObjectConstants(program.get(), path.c_str(), ObjectBlockUse::Whole);
    }
  }
  if (!program) return;
  const Float3 point1 = readVec3(s, C::Point1X, t, ctx);
  const Float3 control1 = readVec3(s, C::ControlPoint1X, t, ctx);
  const Float3 point2 = readVec3(s, C::Point2X, t, ctx);
  const Float3 control2 = readVec3(s, C::ControlPoint2X, t, ctx);
  const float pointCount = evalFloat(s, C::PointCount, t, ctx);
  const float startRadius = evalFloat(s, C::StartRadius, t, ctx);
  const float endRadius = evalFloat(s, C::EndRadius, t, ctx);
  const float middleRadius = evalFloat(s, C::MiddleRadius, t, ctx);
  const float radiusPower = evalFloat(s, C::RadiusPower, t, ctx);
  const float endPointOffset = evalFloat(s, C::EndPointOffset, t, ctx);
  drawPoints(program.get(), points, generatorPointCount(pointCount), ctx, [&](ConstantWriter& cb) {
    cb.set("gPoint1", point1);
    cb.set("gControlPoint1", control1);
    cb.set("gPoint2", point2);
    cb.set("gControlPoint2", control2);
    cb.set("gPointCount", pointCount);
    cb.set("gStartRadius", startRadius);
    cb.set("gEndRadius", endRadius);
    cb.set("gMiddleRadius", middleRadius);
    cb.set("gRadiusPower", radiusPower);
    cb.set("gEndPointOffset", endPointOffset);
    cb.set("gTime", t);
  });
}

// ---------------------------------------------------------------- ProcMesh

void procMeshThreadGroups(uint32_t points, uint32_t& tx, uint32_t& ty) {
  tx = ty = 1;
  bool xTurn = true;
  while (uint64_t(tx) * ty * 256 < points) {
    (xTurn ? tx : ty) *= 2;
    xTurn = !xTurn;
  }
  if (tx * 16 > 1024) tx = 64;
  if (ty * 16 > 1024) ty = 64;
}

const ParamDecl ProcMeshOp::kParams[] = {
    param::shader("VSGSPS Filepath", "data/shaders/procMesh/boxVSGSPS.hlsl"),
    param::shader("CS Filepath", "data/shaders/procMesh/boxCS.hlsl"),
    param::text("VS Entry Point", "VS"),
    param::text("PS Entry Point", "PS"),
    param::text("GS Entry Point", "GS"),
    param::text("CS Entry Point", "CS"),
    param::boolean("CastShadows", true),
    param::scene("Attractors", PortFlagMulti),
    param::number("Points", 256.0f),
    param::number("Tris Per Point", 12.0f),
    param::number("Param 0", 0.0f), param::number("Param 1", 0.0f), param::number("Param 2", 0.0f),
    param::number("Param 3", 0.0f), param::number("Param 4", 0.0f), param::number("Param 5", 0.0f),
    param::number("Param 6", 0.0f), param::number("Param 7", 0.0f),
};
static_assert(std::size(ProcMeshOp::kParams) == ProcMeshOp::Count);

ProcMeshOp::ProcMeshOp() : Operator(CategoryGeometry) {
  declareInputs(kParams);
  addOutput("OutScene", PortType::Scene, std::make_unique<ProcMeshFunction>());
  linkOutput();
}

ProcMeshOp::ProcMeshFunction::ProcMeshFunction() = default;
ProcMeshOp::ProcMeshFunction::~ProcMeshFunction() { deleteTexture(pointBuffer); }

void ProcMeshOp::ProcMeshFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  using P = ProcMeshOp;
  if (needsInit) {
    needsInit = 0;
    const std::string drawFile = evalText(s, P::DrawFile, t, ctx);
    const std::string computeFile = evalText(s, P::ComputeFile, t, ctx);
    const std::string vs = evalText(s, P::VSEntry, t, ctx);
    const std::string ps = evalText(s, P::PSEntry, t, ctx);
    const std::string gs = evalText(s, P::GSEntry, t, ctx);
    const std::string cs = evalText(s, P::CSEntry, t, ctx);
    if (loadProgramFromFile(drawFile.c_str(), vsGsPs(vs.c_str(), gs.empty() ? nullptr : gs.c_str(), ps.c_str()),
                            drawProgram))
      checkObjectConstants(drawProgram.get(), drawFile.c_str(), ObjectBlockUse::Whole);
    loadProgramFromFile(computeFile.c_str(), EntryPoints::compute(cs.c_str()), computeProgram);
  }
  const bool castShadows = evalFloat(s, P::CastShadows, t, ctx) > 0.5f;
  const uint32_t n = std::max<uint32_t>(1, generatorPointCount(evalFloat(s, P::Points, t, ctx)));
  const uint32_t trisPerPoint = std::max<uint32_t>(1, generatorPointCount(evalFloat(s, P::TrisPerPoint, t, ctx)));
  float params[8];
  for (uint32_t i = 0; i < 8; ++i) params[i] = evalFloat(s, P::Param0 + i, t, ctx);

  // The attractors beneath, in the object's own space; the list is consumed here.
  evalEachConnection(s, P::Attractors, t, ctx);
  Float4 attractorPosition[kMaxAttractors] = {};
  Float4 attractorRadiusStrength[kMaxAttractors] = {};
  const Float4x4 toLocal = mat::inverse(ctx.world);
  const uint32_t attractorCount = uint32_t(std::min<size_t>(attractors().size(), kMaxAttractors));
  for (uint32_t i = 0; i < attractorCount; ++i) {
    const AttractorState& a = attractors()[i].now;
    const Float3 p = mat::transformPoint({a.position.x, a.position.y, a.position.z}, toLocal);
    attractorPosition[i] = {p.x, p.y, p.z, 1.0f};
    attractorRadiusStrength[i] = {a.radius, a.power, 0.0f, 0.0f};
  }
  clearAttractors();

  if (!drawProgram || !computeProgram || !computeProgram->device) return;
  Device* device = computeProgram->device;
  const uint32_t tris = std::min(trisPerPoint, kMaxTrianglesPerPoint);
  uint32_t tx, ty;
  procMeshThreadGroups(n, tx, ty);
  const uint32_t drawn = std::min({n, tx * ty * 256, kMaxGeneratedTriangles / tris});
  if (drawn > pointCapacity) {
    deleteTexture(pointBuffer);
    TextureDesc desc;
    desc.flags = kStructuredBuffer | kUsageDefault | kBindShaderResource | kBindUnorderedAccess;
    desc.bitsPerPixel = kPointStride * 8;
    desc.width = drawn;
    pointBuffer = createTexture(device, desc, nullptr);
    pointCapacity = pointBuffer ? drawn : 0;
  }
  if (!pointBuffer) return;
  // Written by the compute pass, read as the vertex stream of the draw and the shadows.
  const uint32_t vertices = drawn * tris * 3;
  if (vertices > triangleCapacity) {
    if (triangles.ownedBuffers & 1) deleteTexture(triangles.vertexBuffers[0]);
    TextureDesc desc;
    desc.flags = kStructuredBuffer | kUsageDefault | kBindShaderResource | kBindUnorderedAccess | kBindVertexBuffer;
    desc.bitsPerPixel = kTriangleVertexStride * 8;
    desc.width = vertices;
    triangles.vertexBuffers[0] = createTexture(device, desc, nullptr);
    triangles.ownedBuffers = triangles.vertexBuffers[0] ? 1 : 0;
    triangles.strides[0] = kTriangleVertexStride;
    triangles.layout = device->defaultInputLayout(1);
    triangles.topology = D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST;
    triangles.indexed = false;
    triangleCapacity = triangles.vertexBuffers[0] ? vertices : 0;
  }
  if (!triangles.vertexBuffers[0]) return;
  triangles.vertexCount = vertices;

  auto setGenerationConstants = [&](ConstantWriter& cb) {
    cb.set("threadCountX", tx);
    cb.set("threadCountY", ty);
    cb.set("vertexCount", drawn);
    cb.set("triCount", tris);
    cb.set("time", t);
    cb.set("params", params);
    cb.set("attractorCount", attractorCount);
    cb.set("attractorPosition", attractorPosition);
    cb.set("attractorRadiusStrength", attractorRadiusStrength);
  };
  {
    ConstantWriter cb(computeProgram.get(), "mesh generation", nullptr, 0, MapFailure::Skip);
    setGenerationConstants(cb);
  }
  computeProgram->setUav(0, pointBuffer);
  computeProgram->setUav(1, triangles.vertexBuffers[0]);
  dispatch(computeProgram.get(), tx, ty);

  GBufferRenderer* r = ctx.gbufferRenderer;
  if (r && ctx.scenePass) {
    drawProgram->setResource(hlsl::Vertex, 8, pointBuffer);
    bindRenderPass(r->device, *ctx.scenePass);
    r->setObjectConstants(drawProgram.get(), ctx, [&](ConstantWriter& cb) {
      cb.set("vertexCount", drawn);
      cb.set("triCount", tris);
      cb.set("time", t);
    });
    DrawRequest request;
    request.program = drawProgram.get();
    request.mesh = &triangles;
    submitDraw(request);
    unbindRenderTargets(r->device);
  }
  if (castShadows) AddShadowCaster(&triangles, ctx.world, kCasterMesh, 0);
}
