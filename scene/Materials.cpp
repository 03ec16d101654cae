#include "scene/Materials.h"

#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "scene/GBufferRenderer.h"
#include "scene/Traversal.h"

MaterialState MaterialState::save(const Context& ctx) {
  MaterialState s;
  s.baseColor = ctx.baseColor;
  s.specularColor = ctx.specularColor;
  s.emissive = ctx.emissive;
  s.roughness = ctx.roughness;
  s.metalness = ctx.metalness;
  s.tileUV = ctx.tileUV;
  s.textures[0] = ctx.albedoTexture;
  s.textures[1] = ctx.roughnessTexture;
  s.textures[2] = ctx.metalnessTexture;
  s.textures[3] = ctx.emissiveTexture;
  s.textures[4] = ctx.normalTexture;
  for (int i = 0; i < 3; ++i) s.shaderParams[i] = ctx.shaderParams[i];
  s.shader = ctx.shader;
  return s;
}

void MaterialState::restore(Context& ctx) const {
  ctx.baseColor = baseColor;
  ctx.specularColor = specularColor;
  ctx.emissive = emissive;
  ctx.roughness = roughness;
  ctx.metalness = metalness;
  ctx.tileUV = tileUV;
  ctx.albedoTexture = textures[0];
  ctx.roughnessTexture = textures[1];
  ctx.metalnessTexture = textures[2];
  ctx.emissiveTexture = textures[3];
  ctx.normalTexture = textures[4];
  for (int i = 0; i < 3; ++i) ctx.shaderParams[i] = shaderParams[i];
  ctx.shader = shader;
}

namespace {

// Where the two material operators keep the same inputs.
struct MaterialInputs {
  uint32_t albedoTex, metalnessTex, roughnessTex, colorR, specularR, metalness, roughness, emissiveR,
      emissiveTex, tileU, tileV, normalTex;
};

// Steps shared by both: surface values at t, then each texture slot from its input; an
// unconnected input empties the slot so the renderer's default applies, not a texture
// inherited from an enclosing material.
void applyMaterial(const MaterialInputs& in, float emissiveBrightness, float iblMul, const std::vector<Port*>& s,
                   float t, Context& ctx) {
  ctx.baseColor = {evalFloat(s, in.colorR, t, ctx), evalFloat(s, in.colorR + 1, t, ctx),
                   evalFloat(s, in.colorR + 2, t, ctx), evalFloat(s, in.colorR + 3, t, ctx)};
  ctx.specularColor = {evalFloat(s, in.specularR, t, ctx), evalFloat(s, in.specularR + 1, t, ctx),
                       evalFloat(s, in.specularR + 2, t, ctx), 0.0f};
  ctx.metalness = evalFloat(s, in.metalness, t, ctx);
  ctx.roughness = evalFloat(s, in.roughness, t, ctx);
  const float er = evalFloat(s, in.emissiveR, t, ctx);
  const float eg = evalFloat(s, in.emissiveR + 1, t, ctx);
  const float eb = evalFloat(s, in.emissiveR + 2, t, ctx);
  ctx.emissive = {er * emissiveBrightness, eg * emissiveBrightness, eb * emissiveBrightness, iblMul};
  ctx.tileUV = {evalFloat(s, in.tileU, t, ctx), evalFloat(s, in.tileV, t, ctx)};
  ctx.albedoTexture = evalImageInput(s, in.albedoTex, t, ctx);
  ctx.metalnessTexture = evalImageInput(s, in.metalnessTex, t, ctx);
  ctx.roughnessTexture = evalImageInput(s, in.roughnessTex, t, ctx);
  ctx.emissiveTexture = evalImageInput(s, in.emissiveTex, t, ctx);
  ctx.normalTexture = evalImageInput(s, in.normalTex, t, ctx);
}

}  // namespace

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
  applyMaterial({M::AlbedoTex, M::MetalnessTex, M::RoughnessTex, M::ColorR, M::SpecularR, M::Metalness, M::Roughness,
                 M::EmissiveR, M::EmissiveTex, M::TileU, M::TileV, M::NormalTex},
                brightness, iblMul, s, t, ctx);
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
    if (loadProgramFromFile(path.c_str(), EntryPoints::vsps("VS", "PS"), program) && program->device)
      program->state = program->device->stateFor(gbufferRenderState());
  }
  const float brightness = evalFloat(s, M::EmissiveBrightness, t, ctx);
  const MaterialState saved = MaterialState::save(ctx);
  // Without "IBLMul" of its own the image-based lighting stays as the enclosing material set it.
  applyMaterial({M::AlbedoTex, M::MetalnessTex, M::RoughnessTex, M::ColorR, M::SpecularR, M::Metalness, M::Roughness,
                 M::EmissiveR, M::EmissiveTex, M::TileU, M::TileV, M::NormalTex},
                brightness, saved.emissive.w, s, t, ctx);
  ctx.shaderParams[0] = evalFloat(s, M::Param1, t, ctx);
  ctx.shaderParams[1] = evalFloat(s, M::Param2, t, ctx);
  ctx.shaderParams[2] = evalFloat(s, M::Param3, t, ctx);
  if (program) ctx.shader = program.get();
  evalInput(s, M::SceneIn, t, ctx);
  saved.restore(ctx);
}
