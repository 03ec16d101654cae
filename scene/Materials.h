#pragma once
// "Material" and "CustomMaterial": set the surface of everything beneath them. Each saves
// the Context's material fields, writes its own, evaluates its scene input and puts the
// saved fields back, so the Context leaves it bit-identical to how it came in.
#include <cstdint>
#include <iterator>
#include <memory>

#include "engine/Context.h"
#include "engine/Operator.h"

class ShaderProgram;

// The Context's material fields, in one piece for saving and restoring.
struct MaterialState {
  Float4 baseColor, specularColor, emissive;
  float roughness = 0, metalness = 0;
  Float2 tileUV;
  Texture* textures[5] = {};  // albedo, roughness, metalness, emissive, normal
  float shaderParams[3] = {};
  ShaderProgram* shader = nullptr;

  static MaterialState save(const Context& ctx);
  void restore(Context& ctx) const;
};

class MaterialOp : public Operator {
 public:
  enum In : uint32_t {
    SceneIn, AlbedoTex, MetalnessTex, RoughnessTex,
    ColorR, ColorG, ColorB, ColorA,
    SpecularR, SpecularG, SpecularB,
    Metalness, Roughness,
    EmissiveR, EmissiveG, EmissiveB,
    EmissiveTex, TileU, TileV, NormalTex, EmissiveBrightness, IBLMul,
    Count
  };
  static const ParamDecl kParams[];
  MaterialOp();
  class MaterialFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class CustomMaterialOp : public Operator {
 public:
  enum In : uint32_t {
    SceneIn, Shader, AlbedoTex, MetalnessTex, RoughnessTex,
    ColorR, ColorG, ColorB, ColorA,
    SpecularR, SpecularG, SpecularB,
    Metalness, Roughness,
    EmissiveR, EmissiveG, EmissiveB,
    EmissiveTex, TileU, TileV, NormalTex, EmissiveBrightness,
    Param1, Param2, Param3,
    Count
  };
  static const ParamDecl kParams[];
  CustomMaterialOp();
  class CustomMaterialFunction : public Function {
   public:
    CustomMaterialFunction();
    ~CustomMaterialFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    std::unique_ptr<ShaderProgram> program;  // null when the file did not load
  };
};
