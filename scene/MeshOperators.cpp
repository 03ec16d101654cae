#include "scene/MeshOperators.h"

#include <random>

#include "engine/FloatOperators.h"
#include "gfx/Device.h"
#include "gfx/FatalError.h"
#include "gfx/TextureLoader.h"
#include "scene/GBufferRenderer.h"
#include "scene/SceneContext.h"
#include "scene/SceneOpSupport.h"
#include "scene/ShadowCasters.h"
#include "scene/Traversal.h"

namespace {

void drawMesh(const Mesh& mesh, Context& ctx) {
  if (ctx.gbufferRenderer) ctx.gbufferRenderer->DrawMesh(mesh, ctx);
}

}  // namespace

Float4x4 attractMatrix(const Float4x4& m, const AttractorState& a, uint32_t seed) {
  std::mt19937 engine(seed);
  auto draw = [&](float lo, float hi) {
    const uint32_t v = static_cast<uint32_t>(engine());
    return lo + (hi - lo) * (static_cast<float>(v) * (1.0f / 4294967296.0f));
  };
  const Float3 at = m.row3(3);
  const float d = length(at - Float3{a.position.x, a.position.y, a.position.z});
  if (!(d < a.radius)) return m;
  const float k = (1.0f - d / a.radius) * a.power;
  const float ox = draw(-a.offset.x, a.offset.x);
  const float oy = draw(-a.offset.y, a.offset.y);
  const float oz = draw(-a.offset.z, a.offset.z);
  const float rx = draw(0.0f, a.rotation.x);
  const float ry = draw(0.0f, a.rotation.y);
  const float rz = draw(0.0f, a.rotation.z);
  Float4x4 moved = m;
  moved.setRow(3, at + Float3{ox, oy, oz} * k, m.at(3, 3));
  return mat::rotationEulerDegrees(Float3{rx, ry, rz} * k) * moved;
}

// ---------------------------------------------------------------- Mesh

const ParamDecl MeshOp::kParams[] = {
    param::path("Filepath"),
    param::integer("MeshID", -1.0f),
    param::boolean("CastShadows", true),
    param::scene("Attractors", PortFlagMulti),
    param::number("Position.X", 0.0f), param::number("Position.Y", 0.0f), param::number("Position.Z", 0.0f),
    param::number("Rotation.X", 0.0f), param::number("Rotation.Y", 0.0f), param::number("Rotation.Z", 0.0f),
    param::number("Scale.X", 1.0f), param::number("Scale.Y", 1.0f), param::number("Scale.Z", 1.0f),
    param::boolean("WritesVelocity", true),
};
static_assert(std::size(MeshOp::kParams) == MeshOp::Count);

MeshOp::MeshOp() : Operator(CategoryGeometry) {
  declareInputs(kParams);
  addOutput("SceneOut", PortType::Scene, std::make_unique<MeshFunction>());
  linkOutput();
}

void MeshOp::MeshFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  const std::string& path = evalText(s, Filepath, t, ctx);
  if (needsInit && !path.empty()) {
    subMeshes = LoadMeshFile(path, MeshImportOptions::forOperators(), true, deviceOf(ctx));
    needsInit = 0;
  }
  const int32_t meshId = truncToInt32(evalFloat(s, MeshID, t, ctx));
  const bool castShadows = evalFloat(s, CastShadows, t, ctx) > 0.5f;
  const bool writesVelocity = evalFloat(s, WritesVelocity, t, ctx) > 0.5f;
  SavedWorld saved(ctx);
  evalEachConnection(s, Attractors, t, ctx);

  const float tp = t - kPreviousDt;
  const Float4x4 m = mat::scaleRotateTranslate(evalFloat3(s, ScaleX, t, ctx), evalFloat3(s, RotationX, t, ctx),
                                               evalFloat3(s, PositionX, t, ctx)) *
                     saved.world();
  Float4x4 mPrev = mat::scaleRotateTranslate(evalFloat3(s, ScaleX, tp, ctx), evalFloat3(s, RotationX, tp, ctx),
                                             evalFloat3(s, PositionX, tp, ctx)) *
                   saved.worldPrev();
  if (!writesVelocity) mPrev = m;

  const bool all = meshId == -1;
  const size_t first = all ? 0 : size_t(uint32_t(meshId));
  const size_t end = all ? subMeshes.size() : first + 1;
  for (size_t i = first; i < end && i < subMeshes.size(); ++i) {
    const SubMeshEntry& e = subMeshes[i];
    Float4x4 w = e.transform * m;
    Float4x4 wPrev = e.transform * mPrev;
    if (all) {
      for (const AttractorRecord& a : attractors()) {
        w = attractMatrix(w, a.now, uint32_t(i));
        wPrev = attractMatrix(wPrev, a.previous, uint32_t(i));
      }
    }
    if (!e.mesh) continue;
    ctx.world = w;
    ctx.worldPrev = wPrev;
    drawMesh(*e.mesh, ctx);
    if (castShadows) AddShadowCaster(e.mesh.get(), w, kCasterMesh, 0);
  }
  clearAttractors();
}

// ---------------------------------------------------------------- LWO

const ParamDecl LWOOp::kParams[] = {param::path("Filepath")};
static_assert(std::size(LWOOp::kParams) == LWOOp::Count);

LWOOp::LWOOp() : Operator(CategoryGeometry) {
  declareInputs(kParams);
  addOutput("SceneOut", PortType::Scene, std::make_unique<LWOFunction>());
  linkOutput();
}

void LWOOp::LWOFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  const std::string& path = evalText(s, Filepath, t, ctx);
  if (needsInit && !path.empty()) {
    needsInit = 0;
    if (std::shared_ptr<const LwoObject> object = LoadLWO(path)) {
      mesh = BuildLWOMesh(object->layers.front(), -1, deviceOf(ctx));
      if (!mesh) logMessage("LightWave object %s: its first layer has no triangles to draw\n", path.c_str());
    }
  }
  if (!mesh) return;
  drawMesh(*mesh, ctx);
  AddShadowCaster(mesh.get(), ctx.world, kCasterMesh, 0);
}

// ---------------------------------------------------------------- Texture

const ParamDecl TextureOp::kParams[] = {param::path("Filepath")};
static_assert(std::size(TextureOp::kParams) == TextureOp::Count);

TextureOp::TextureOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  addOutput("TexOut", PortType::Image, std::make_unique<TextureFunction>());
  linkOutput();
}

void TextureOp::TextureFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  const std::string& name = evalText(s, Filepath, t, ctx);
  if (!name.empty() && name != path) {
    // A picture that fails keeps the previous one; the path is remembered either way, so a
    // bad file is not tried again every frame.
    if (Texture* loaded = loadTexture(deviceOf(ctx), name, true)) image = loaded;
    path = name;
  }
  ctx.imageResult = image;
}
