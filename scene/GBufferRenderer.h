#pragma once
// The G-buffer draw: every geometry operator draws its mesh through the Context's
// GBufferRenderer, which binds the Context's scene pass, sets the per-object constants and
// the five material textures from the Context, and submits the mesh with the Context's
// program (the G-buffer program unless a custom material or another pass replaced it).
//
// Per-object constants (buffer b0 of the drawing program, matrices written transposed):
//   gWorldViewProj      world * view * projection
//   gWorldViewProjPrev  previous world * previous view * projection (feeds velocity)
//   gWorldView          world * view
//   gInvTransWorldView  transpose of the full inverse of world * view (normals)
//   gProj, gView        projection, view (rigid inverse of the camera matrix)
//   gRegionScale, gRegionOffset   the viewport within the frame depth target
//   gBaseColor, gSpecularMapColor, gEmissiveColor (float4), gRoughness, gMetalness (float),
//   gTileUV (float2), gParam1..3 (float; a custom material's parameters)
// A name the program lacks is skipped; checkObjectConstants says so once, when the program
// loads.
//
// Material textures: pixel slots 0 albedo, 1 roughness, 2 metalness, 3 emissive, 4 normal,
// each with the trilinear wrap sampler in the same slot; an empty slot gets opaque white
// (0-3) or the flat normal (4), never a texture of an earlier draw.
#include <cstdint>
#include <initializer_list>
#include <memory>

#include "engine/Context.h"
#include "engine/Math.h"
#include "gfx/ConstantWriter.h"
#include "gfx/ShaderProgram.h"
#include "scene/FrameSetup.h"

class Device;
class DeviceContext;
class Texture;
struct DrawRange;
struct Mesh;

// The per-object values of one draw, before they are written (not transposed).
struct ObjectConstants {
  Float4x4 worldViewProj;
  Float4x4 worldViewProjPrev;
  Float4x4 worldView;
  Float4x4 invTransWorldView;
  Float4x4 proj;
  Float4x4 view;
  RegionConstants region;
  Float4 baseColor;
  Float4 specularColor;
  Float4 emissive;
  float roughness = 0.0f;
  float metalness = 0.0f;
  Float2 tileUV;
  float params[3] = {};
};

// The values the Context implies (no GPU needed; without a Device the region is (1,1),(0,0)).
ObjectConstants computeObjectConstants(const Context& ctx);
// The same into `c`, every field overwritten.
void computeObjectConstants(const Context& ctx, ObjectConstants& c);
// Writes them by name (matrices transposed).
void writeObjectConstants(ConstantWriter& w, const ObjectConstants& c);
// Both, for a draw: the values go through a block kept for the purpose, not a fresh one.
void writeObjectConstants(ConstantWriter& w, const Context& ctx);

// How much of the per-object block a program drawn with it has to declare in b0.
enum class ObjectBlockUse {
  Whole,    // programs that write the G-buffer: all of it but gParam1..3 (a custom material's)
  Partial,  // forward shaders: only what they read
};
// Checks a program's b0 against the per-object block once, when the program loads: a
// constant it lacks (where `use` asks for it) or declares with a size other than the one
// written would be skipped every frame without a word. Logs one line per such constant,
// naming the shader file; true when there was none. A program without any b0 counts as
// lacking all it needs. `passOwn` names constants the pass writes itself after the block,
// at its own size (the grass reads its own gParam1, a float4).
bool checkObjectConstants(const ShaderProgram* program, const char* file, ObjectBlockUse use,
                          std::initializer_list<const char*> passOwn = {});

// The G-buffer programs' render state: depth test and write, stencil, back faces culled,
// less-or-equal; stencil masks 0xFF, reference 1, replace on pass, so drawn pixels are
// marked 1 in the stencil.
RenderStateDesc gbufferRenderState();

// Trilinear filtering, wrap in U, V and W: the sampler of the material textures.
constexpr uint32_t kMaterialSamplerMode = 7;

class GBufferRenderer {
 public:
  // Loads "gbuffer" and "gbufferInstance" (VS/PS), "copy" (VS/PS and VS/PSDepth) by the
  // road the shader mode selects and makes the two default textures. A program that fails
  // to load is logged and left null (draws that need it draw nothing). Null without a device.
  static std::unique_ptr<GBufferRenderer> Create(Device* device);
  ~GBufferRenderer();
  GBufferRenderer(const GBufferRenderer&) = delete;
  GBufferRenderer& operator=(const GBufferRenderer&) = delete;

  // Binds the Context's scene pass, sets textures and constants, draws the mesh (or the
  // range of it) with the Context's program, then unbinds the render targets.
  void DrawMesh(const Mesh& mesh, Context& ctx, const DrawRange* range = nullptr);
  // The same as an instanced draw; the per-instance stream is the mesh's (slot 1). With the
  // plain G-buffer program in the Context, the instanced G-buffer program draws instead.
  void DrawMeshInstanced(const Mesh& mesh, Context& ctx, uint32_t instanceCount);
  // The same without unbinding the targets afterwards (for draws that follow at once).
  void DrawMeshKeepTargets(const Mesh& mesh, Context& ctx, const DrawRange* range = nullptr);

  // The per-object steps alone, for passes that draw their own geometry with their own
  // program (the shader-driven generators): textures into pixel slots 0-4 of the program,
  // and the constants written into its b0 between map and unmap. `extra(ConstantWriter&)`
  // is called while the buffer is mapped, to add the pass's own constants (the map
  // discards the old contents). False when the program is null; a program without b0 has
  // nothing to write and counts as done. A buffer that cannot be mapped is unrecoverable.
  void bindMaterialTextures(ShaderProgram* program, const Context& ctx) const;
  template <typename Extra>
  bool setObjectConstants(ShaderProgram* program, const Context& ctx, Extra&& extra);
  bool setObjectConstants(ShaderProgram* program, const Context& ctx);

  // The program a draw with this Context uses (its shader, else the G-buffer program).
  ShaderProgram* programFor(const Context& ctx) const;

  std::unique_ptr<ShaderProgram> gbufferProgram;
  std::unique_ptr<ShaderProgram> instanceProgram;
  // The same two for a material without textures: the same pixels without the five reads.
  // A draw that would use gbufferProgram or instanceProgram with every material slot empty
  // uses these instead, with that program's state.
  std::unique_ptr<ShaderProgram> plainProgram;
  std::unique_ptr<ShaderProgram> plainInstanceProgram;
  std::unique_ptr<ShaderProgram> copyProgram;
  std::unique_ptr<ShaderProgram> depthCopyProgram;
  Texture* whiteTexture = nullptr;       // 2x2 RGBA8, every byte 0xFF
  Texture* flatNormalTexture = nullptr;  // 2x2 RGBA8, texels 0x80 0x80 0xFF 0x00
  Sampler* materialSampler = nullptr;    // every material texture's (kMaterialSamplerMode)
  Device* device = nullptr;
  DeviceContext* context = nullptr;

 private:
  GBufferRenderer() = default;
  // The plain counterpart of the G-buffer programs when the material has no texture.
  ShaderProgram* withoutTextures(ShaderProgram* program, const Context& ctx) const;
  void draw(const Mesh& mesh, Context& ctx, ShaderProgram* program, uint32_t instances, uint32_t flags,
            const DrawRange* range, bool unbindTargets);
};

template <typename Extra>
bool GBufferRenderer::setObjectConstants(ShaderProgram* program, const Context& ctx, Extra&& extra) {
  if (!program) return false;
  ConstantWriter w(program, "of the mesh draw");
  if (w.mapped()) {
    writeObjectConstants(w, ctx);
    extra(w);
  }
  return true;
}
