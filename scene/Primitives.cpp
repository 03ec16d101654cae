#include "scene/Primitives.h"

#include <algorithm>
#include <cmath>

#include "engine/Choice.h"
#include "engine/FloatOperators.h"
#include "engine/Globals.h"
#include "gfx/Device.h"
#include "gfx/DeviceContext.h"
#include "scene/GBufferRenderer.h"
#include "scene/SceneContext.h"
#include "scene/MeshBuilder.h"
#include "scene/ShadowCasters.h"

namespace {

enum class Targets { Unbind, Keep };

void drawPrimitive(const Mesh* mesh, Context& ctx, bool castShadow, Targets targets = Targets::Unbind) {
  if (!mesh) return;
  if (GBufferRenderer* r = ctx.gbufferRenderer) {
    if (targets == Targets::Keep)
      r->DrawMeshKeepTargets(*mesh, ctx);
    else
      r->DrawMesh(*mesh, ctx);
  }
  if (castShadow) AddShadowCaster(mesh, ctx.world, kCasterMesh, 0);
}

}  // namespace

// Operator has the declaration calls protected; each constructor makes its one output.
#define ZV_PRIMITIVE_OUTPUT(Fn)                                         \
  do {                                                                  \
    addOutput("OutScene", PortType::Scene, std::make_unique<Fn>());     \
    linkOutput();                                                       \
  } while (0)

// ---------------------------------------------------------------- Cube

const ParamDecl CubeOp::kParams[] = {
    param::number("Size.X", 1.0f), param::number("Size.Y", 1.0f), param::number("Size.Z", 1.0f),
    param::boolean("CastShadows", true),
};
static_assert(std::size(CubeOp::kParams) == CubeOp::Count);

CubeOp::CubeOp() : Operator(CategoryGeometry) {
  declareInputs(kParams);
  ZV_PRIMITIVE_OUTPUT(CubeFunction);
}

void CubeOp::CubeFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  auto size = [&](float at) {
    return Float3{evalFloat(s, CubeOp::SizeX, at, ctx), evalFloat(s, CubeOp::SizeY, at, ctx),
                  evalFloat(s, CubeOp::SizeZ, at, ctx)};
  };
  const Float3 sizeNow = size(t);
  const Float3 sizePrev = size(t - 0.001f);
  const bool castShadows = evalFloat(s, CubeOp::CastShadows, t, ctx) > 0.5f;
  Device* device = deviceOf(ctx);
  if (!mesh) mesh = buildUnitBoxMesh(device);
  // While loading nothing is drawn, but the draw is prepared and the caster listed (a light
  // pass prepares its shadow draws from the list the same way), so that the frame that first
  // shows this cube, in a later span say, builds no pipeline.
  PrepareOnlyScope prepare(isLoading && device ? device->context() : nullptr);
  const Float4x4 world = ctx.world, worldPrev = ctx.worldPrev;
  ctx.world = mat::scaling(sizeNow) * world;
  ctx.worldPrev = mat::scaling(sizePrev) * worldPrev;
  drawPrimitive(mesh.get(), ctx, castShadows);
  ctx.world = world;
  ctx.worldPrev = worldPrev;
}

// ---------------------------------------------------------------- Cone, Quad, Cylinder

ConeOp::ConeOp() : Operator(CategoryGeometry) { ZV_PRIMITIVE_OUTPUT(ConeFunction); }

void ConeOp::ConeFunction::evaluate(float, const std::vector<Port*>&, Context& ctx) {
  if (!mesh) {
    MeshBuilder b;
    b.addCone({0, 0, 0}, kSegments);
    mesh = b.toMeshFull(deviceOf(ctx));
  }
  drawPrimitive(mesh.get(), ctx, true);
}

QuadOp::QuadOp() : Operator(CategoryGeometry) { ZV_PRIMITIVE_OUTPUT(QuadFunction); }

void QuadOp::QuadFunction::evaluate(float, const std::vector<Port*>&, Context& ctx) {
  if (!mesh) {
    MeshBuilder b;
    b.addQuad({0, 0, 0});
    mesh = b.toMesh(deviceOf(ctx));
  }
  drawPrimitive(mesh.get(), ctx, true);
}

CylinderOp::CylinderOp() : Operator(CategoryGeometry) { ZV_PRIMITIVE_OUTPUT(CylinderFunction); }

void CylinderOp::CylinderFunction::evaluate(float, const std::vector<Port*>&, Context& ctx) {
  if (!mesh) {
    MeshBuilder b;
    b.addCylinder({0, 0, 0});
    mesh = b.toMesh(deviceOf(ctx));
  }
  drawPrimitive(mesh.get(), ctx, true);
}

// ---------------------------------------------------------------- Sphere

const ParamDecl SphereOp::kParams[] = {
    param::boolean("Invert normals", false),
    param::choice("PrimitiveType", 0.0f, "Tris|Points"),
    param::integer("Details", 32.0f),
};
static_assert(std::size(SphereOp::kParams) == SphereOp::Count);

SphereOp::SphereOp() : Operator(CategoryGeometry) {
  declareInputs(kParams);
  ZV_PRIMITIVE_OUTPUT(SphereFunction);
}

int SphereOp::detailFrom(float details) {
  if (std::isnan(details)) return 1;
  return std::clamp(truncToInt32(std::clamp(details, -1.0f, 1000.0f)), 1, 100);
}

void SphereOp::SphereFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  const bool inverted = evalFloat(s, SphereOp::InvertNormals, t, ctx) > 0.0f;
  const bool points = evalChoice(s, SphereOp::PrimitiveType, t, ctx) == 1;
  const int detail = detailFrom(evalFloat(s, SphereOp::Details, t, ctx));
  if (!mesh || detail != builtDetail || inverted != builtInverted || points != builtPoints) {
    MeshBuilder b;
    b.addSphere({0, 0, 0}, detail, inverted);
    mesh = b.toMesh(deviceOf(ctx), points ? D3D11_PRIMITIVE_TOPOLOGY_POINTLIST : D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    builtDetail = detail;
    builtInverted = inverted;
    builtPoints = points;
  }
  drawPrimitive(mesh.get(), ctx, true);
}

// ---------------------------------------------------------------- Dome, Prism

DomeOp::DomeOp() : Operator(CategoryGeometry) { ZV_PRIMITIVE_OUTPUT(DomeFunction); }

void DomeOp::DomeFunction::evaluate(float, const std::vector<Port*>&, Context& ctx) {
  if (!mesh) {
    MeshBuilder b;
    b.addDome({0, 0, 0});
    mesh = b.toMesh(deviceOf(ctx));
  }
  drawPrimitive(mesh.get(), ctx, false, Targets::Keep);
}

PrismOp::PrismOp() : Operator(CategoryGeometry) { ZV_PRIMITIVE_OUTPUT(PrismFunction); }

void PrismOp::PrismFunction::evaluate(float, const std::vector<Port*>&, Context& ctx) {
  if (!mesh) {
    MeshBuilder b;
    b.addPrism({0, 0, 0});
    mesh = b.toMesh(deviceOf(ctx));
  }
  drawPrimitive(mesh.get(), ctx, false, Targets::Keep);
}
