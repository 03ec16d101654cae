#pragma once
// The deferred lighting: one process-wide object, made at start-up, that turns a filled
// G-buffer and the frame's light lists into a lit picture.
//
// Render draws every light into a light map (cleared to 0, each light adds with alpha 1):
// directional lights as full-screen triangles with two 1024 x 1024 shadow cascades, point
// lights as sphere volumes, spot lights as cone volumes with a 2048 x 2048 perspective
// shadow map (each volume just holds what its light can reach). The light map plus the
// G-buffer's emissive target plus the image-based term (environment cube and the
// pre-integrated BRDF lookup texture) becomes the output in one pass; without the term, the
// combine of the first two alone.
//
// Shadow casters come from the frame's caster list, each drawn by its kind with the same
// program into every shadow map: kind 0 a plain mesh ("shadows"), kind 1 a cloth
// ("shadowsCloth": the record's index buffer drawn without vertex buffers; the mesh's
// vertexBuffers[0] is the cloth's position texture, float4 texels, vertex i at texel
// (i mod width, i div width)), kind 3 an instanced mesh ("shadowsInstanced", the mesh's
// per-instance stream in slot 1). Other kinds are skipped.
#include <cstdint>
#include <memory>

#include "engine/Context.h"
#include "engine/Math.h"
#include "gfx/Device.h"
#include "gfx/Formats.h"
#include "gfx/ShaderProgram.h"
#include "scene/VelocityTilePass.h"

struct Mesh;
struct DirLightRecord;
struct SpotLightRecord;

// Formats: shadow maps 32-bit float depth, the lookup texture two 16-bit floats.
constexpr uint32_t kShadowMapFormat = format::D32F;
constexpr uint32_t kBrdfLookupFormat = format::RG16F;
constexpr uint32_t kBrdfLookupSize = 512;

class DeferredLighting {
 public:
  // Logs "CascadeShadowMap", "ShadowMap" and "IBL" as it makes the shadow maps and the
  // image-based lighting, loads the programs, renders the lookup texture once and loads the
  // default environment "OutputCube.dds". A program that does not load leaves its light
  // kind dark (logged); a missing environment leaves out the image-based term. Null only
  // without a device.
  static std::unique_ptr<DeferredLighting> Create(Device* device);
  ~DeferredLighting();
  DeferredLighting(const DeferredLighting&) = delete;
  DeferredLighting& operator=(const DeferredLighting&) = delete;

  // Lights the Context's G-buffer into output over the Context's viewport, with lightMap
  // (a colour target of the frame's size) as scratch. environment: a cube texture, else
  // the default environment is used.
  void Render(Context& ctx, Texture* lightMap, Texture* output, Texture* environment);

  // Run by the lighting pass after every lighting render with the frame's G-buffer set and
  // the Context's region: the camera motion blur's preparation (the post-process manager's,
  // handed over by whoever makes both). Not owned; null runs nothing.
  VelocityTilePass* velocityTiles = nullptr;

  // ---- what it owns ----
  Device* device = nullptr;
  std::unique_ptr<ShaderProgram> pointProgram;        // "pointLight"
  // The point and spot programs' entries without in-scattering ("PSUnscattered"), drawn for
  // the lights whose scattering multiplier is 0 or below: the same pixels, without paying
  // for the in-scattering on each of them. Null: the full program draws those lights too.
  std::unique_ptr<ShaderProgram> pointUnscatteredProgram;
  std::unique_ptr<ShaderProgram> spotUnscatteredProgram;
  std::unique_ptr<ShaderProgram> dirProgram;          // "dirlight"
  std::unique_ptr<ShaderProgram> spotProgram;         // "spotLight"
  std::unique_ptr<ShaderProgram> combineProgram;      // "copyLightMap"
  std::unique_ptr<ShaderProgram> imageProgram;        // "imageLighting"
  // "imageLighting" with "PSCombined": the combine and the image-based term in one pass,
  // drawn whenever both would be. Null: the two passes.
  std::unique_ptr<ShaderProgram> imageCombinedProgram;
  std::unique_ptr<ShaderProgram> shadowProgram;       // "shadows"
  std::unique_ptr<ShaderProgram> shadowClothProgram;  // "shadowsCloth"
  std::unique_ptr<ShaderProgram> shadowInstancedProgram;  // "shadowsInstanced"
  std::unique_ptr<Mesh> sphere;  // unit sphere, kPointSphereDetail
  std::unique_ptr<Mesh> cone;    // unit cone, 16 segments

  Texture* cascadeMaps[2] = {};
  Float4x4 lightBasis;             // of the last shadowed directional light
  Float4x4 cascadeProjections[2];
  Float4x4 cascadeViewProjection[2];  // light view x cascade projection
  Float2 clipZ;                    // device depths where the cascades end

  Texture* spotShadowMap = nullptr;
  Float4x4 spotView, spotProjection;

  Texture* brdfLookup = nullptr;            // 512 x 512, rendered by "prefilter_pbr"
  Texture* defaultEnvironment = nullptr;    // "OutputCube.dds" (the texture cache owns it)

  // Render states and samplers, made once.
  RenderState* cullBackLight = nullptr;   // directional, and spots seen from outside
  RenderState* cullFrontLight = nullptr;  // points, and spots around the eye
  RenderState* imageState = nullptr;
  RenderState* combineState = nullptr;
  RenderState* shadowState = nullptr;
  Sampler* pointSampler = nullptr;        // mode 0: G-buffer, depth, light map, lookup
  Sampler* environmentSampler = nullptr;  // mode 7
  Sampler* shadowSampler = nullptr;       // bilinear depth comparison, white border
  Sampler* clothSampler = nullptr;        // mode 7 for the cloth's position texture

  // Exposed for tests: the shadow maps of one light.
  void renderCascades(const Context& ctx, const DirLightRecord& light);
  void renderSpotShadow(const SpotLightRecord& light);

 private:
  DeferredLighting() = default;
  void drawCasters(const Float4x4& viewProjection);
  void bindCommonInputs(ShaderProgram* program, const Context& ctx);
};

// The one lighting object of the player (null in tools and tests that do not light).
extern DeferredLighting* gDeferredLighting;
