#include "scene/Materials.h"

#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "scene/GBufferRenderer.h"
#include "scene/Traversal.h"

namespace {

// Calls f(state's field, Context's field) for every material field, so that saving and
// restoring name each field once.
template <typename State, typename Ctx, typename F>
void forEachMaterialField(State& s, Ctx& ctx, F&& f) {
  f(s.baseColor, ctx.baseColor);
  f(s.specularColor, ctx.specularColor);
  f(s.emissive, ctx.emissive);
  f(s.roughness, ctx.roughness);
  f(s.metalness, ctx.metalness);
  f(s.tileUV, ctx.tileUV);
  f(s.textures[0], ctx.albedoTexture);
  f(s.textures[1], ctx.roughnessTexture);
  f(s.textures[2], ctx.metalnessTexture);
  f(s.textures[3], ctx.emissiveTexture);
  f(s.textures[4], ctx.normalTexture);
  for (int i = 0; i < 3; ++i) f(s.shaderParams[i], ctx.shaderParams[i]);
  f(s.shader, ctx.shader);
}

// Steps shared by both operators, whose inputs carry the same names: surface values at t,
// then each texture slot from its input; an unconnected input empties the slot so the
// renderer's default applies, not a texture inherited from an enclosing material.
template <typename Op>
void applyMaterial(float emissiveBrightness, float iblMul, const std::vector<Port*>& s, float t, Context& ctx) {
  ctx.baseColor = {evalFloat(s, Op::ColorR, t, ctx), evalFloat(s, Op::ColorR + 1, t, ctx),
                   evalFloat(s, Op::ColorR + 2, t, ctx), evalFloat(s, Op::ColorR + 3, t, ctx)};
  ctx.specularColor = {evalFloat(s, Op::SpecularR, t, ctx), evalFloat(s, Op::SpecularR + 1, t, ctx),
                       evalFloat(s, Op::SpecularR + 2, t, ctx), 0.0f};
  ctx.metalness = evalFloat(s, Op::Metalness, t, ctx);
  ctx.roughness = evalFloat(s, Op::Roughness, t, ctx);
  const float er = evalFloat(s, Op::EmissiveR, t, ctx);
  const float eg = evalFloat(s, Op::EmissiveR + 1, t, ctx);
  const float eb = evalFloat(s, Op::EmissiveR + 2, t, ctx);
  ctx.emissive = {er * emissiveBrightness, eg * emissiveBrightness, eb * emissiveBrightness, iblMul};
  ctx.tileUV = {evalFloat(s, Op::TileU, t, ctx), evalFloat(s, Op::TileV, t, ctx)};
  ctx.albedoTexture = evalImageInput(s, Op::AlbedoTex, t, ctx);
  ctx.metalnessTexture = evalImageInput(s, Op::MetalnessTex, t, ctx);
  ctx.roughnessTexture = evalImageInput(s, Op::RoughnessTex, t, ctx);
  ctx.emissiveTexture = evalImageInput(s, Op::EmissiveTex, t, ctx);
  ctx.normalTexture = evalImageInput(s, Op::NormalTex, t, ctx);
}

}  // namespace

MaterialState MaterialState::save(const Context& ctx) {
  MaterialState s;
  forEachMaterialField(s, ctx, [](auto& mine, const auto& theirs) { mine = theirs; });
  return s;
}

void MaterialState::restore(Context& ctx) const {
  forEachMaterialField(*this, ctx, [](const auto& mine, auto& theirs) { theirs = mine; });
}

// ---------------------------------------------------------------- Material

const ParamDecl MaterialOp::kParams[] = {
    param::scene("sceneIn"),
    param::image("AlbedoTex"),
    param::image("MetalnessTex"),
    param::image("RoughnessTex"),
    param::number("Color.R", 0.2f), param::number("Color.G", 0.2f), param::number("Color.B", 0.2f),
    param::number("Color.A", 1.0f),
    param::number("Specular.R", 0.01f), param::number("Specular.G", 0.01f), param::number("Specular.B", 0.01f),
    param::number("Metalness", 0.5f),
    param::number("Roughness", 0.6f),
    param::number("Emissive.R", 0.0f), param::number("Emissive.G", 0.0f), param::number("Emissive.B", 0.0f),
    param::image("EmissiveTex"),
    param::number("TileU", 1.0f), param::number("TileV", 1.0f),
    param::image("NormalTex"),
    param::number("EmissiveBrightness", 1.0f),
    param::number("IBLMul", 1.0f),
};
static_assert(std::size(MaterialOp::kParams) == MaterialOp::Count);

MaterialOp::MaterialOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addColorGroup("Color", ColorR, 4);
  addColorGroup("Specular", SpecularR, 3);
  addColorGroup("Emissive", EmissiveR, 3);
  addOutput("SceneOut", PortType::Scene, std::make_unique<MaterialFunction>());
  linkOutput();
}

void MaterialOp::MaterialFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  using M = MaterialOp;
  const float brightness = evalFloat(s, M::EmissiveBrightness, t, ctx);
  const float iblMul = evalFloat(s, M::IBLMul, t, ctx);
  const MaterialState saved = MaterialState::save(ctx);
  applyMaterial<M>(brightness, iblMul, s, t, ctx);
  evalInput(s, M::SceneIn, t, ctx);
  saved.restore(ctx);
}

// ---------------------------------------------------------------- CustomMaterial

const ParamDecl CustomMaterialOp::kParams[] = {
    param::scene("sceneIn"),
    param::shader("Shader", "data\\shaders\\gbufferAnim.hlsl"),
    param::image("AlbedoTex"),
    param::image("MetalnessTex"),
    param::image("RoughnessTex"),
    param::number("Color.R", 0.2f), param::number("Color.G", 0.2f), param::number("Color.B", 0.2f),
    param::number("Color.A", 1.0f),
    param::number("Specular.R", 0.01f), param::number("Specular.G", 0.01f), param::number("Specular.B", 0.01f),
    param::number("Metalness", 0.5f),
    param::number("Roughness", 0.6f),
    param::number("Emissive.R", 0.0f), param::number("Emissive.G", 0.0f), param::number("Emissive.B", 0.0f),
    param::image("EmissiveTex"),
    param::number("TileU", 1.0f), param::number("TileV", 1.0f),
    param::image("NormalTex"),
    param::number("EmissiveBrightness", 1.0f),
    param::number("Param 1", -3.1415f),
    param::number("Param 2", 0.0f),
    param::number("Param 3", 0.0f),
};
static_assert(std::size(CustomMaterialOp::kParams) == CustomMaterialOp::Count);

CustomMaterialOp::CustomMaterialOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addColorGroup("Color", ColorR, 4);
  addColorGroup("Specular", SpecularR, 3);
  addColorGroup("Emissive", EmissiveR, 3);
  addOutput("SceneOut", PortType::Scene, std::make_unique<CustomMaterialFunction>());
  linkOutput();
}

CustomMaterialOp::CustomMaterialFunction::CustomMaterialFunction() = default;
CustomMaterialOp::CustomMaterialFunction::~CustomMaterialFunction() = default;

void CustomMaterialOp::CustomMaterialFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  using M = CustomMaterialOp;
  if (needsInit) {
    needsInit = 0;
    const std::string path = evalText(s, M::Shader, t, ctx);
    // It draws into the G-buffer in place of the G-buffer program, with the same state.
    if (loadProgramFromFile(path.c_str(), EntryPoints::vsps("VS", "PS"), program) && program->device) {
      program->state = program->device->stateFor(gbufferRenderState());
      checkObjectConstants(program.get(), path.c_str(), ObjectBlockUse::Whole);
    }
  }
  const float brightness = evalFloat(s, M::EmissiveBrightness, t, ctx);
  const MaterialState saved = MaterialState::save(ctx);
  // Without "IBLMul" of its own the image-based lighting stays as the enclosing material set it.
  applyMaterial<M>(brightness, saved.emissive.w, s, t, ctx);
  ctx.shaderParams[0] = evalFloat(s, M::Param1, t, ctx);
  ctx.shaderParams[1] = evalFloat(s, M::Param2, t, ctx);
  ctx.shaderParams[2] = evalFloat(s, M::Param3, t, ctx);
  if (program) ctx.shader = program.get();
  evalInput(s, M::SceneIn, t, ctx);
  saved.restore(ctx);
}
