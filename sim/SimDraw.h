#pragma once
// Drawing shared by the simulations: particles of a structured buffer expanded into sprites
// by a geometry shader and drawn into the scene's G-buffer pass.
#include <cstdint>

#include "engine/Context.h"
#include "engine/Math.h"
#include "gfx/Device.h"
#include "gfx/ShaderManager.h"

class ShaderProgram;
class Texture;

namespace sim {

// Entry points of every sprite program: "VS", "GS", "PS".
EntryPoints spriteEntries();
// Opaque sprites into the G-buffer: depth test and write, no culling.
RenderStateDesc spriteGBufferState();

// View matrix of the Context's camera, and world * view.
Float4x4 viewMatrix(const Context& ctx);
Float4x4 worldView(const Context& ctx);

struct SpriteDraw {
  ShaderProgram* program = nullptr;
  Texture* particles = nullptr;  // bound to the vertex shader's t1
  Texture* texture = nullptr;    // bound to the pixel shader's t0 (with the trilinear wrap sampler)
  uint32_t vertexCount = 0;
  uint32_t firstVertex = 0;
  float size = 0.0f;
  Float4 colour{1, 1, 1, 1};
  float time = 0.0f;
};

// Writes the per-object constants of a mesh draw (gWorldView, gProj, ...: see
// scene/GBufferRenderer.h) and gColor, gSize and gTime, binds the Context's scene pass (without
// clearing; without its depth target unless withDepth) and draws vertexCount points. Does
// nothing without a scene pass.
void drawSprites(const SpriteDraw& d, Context& ctx, bool withDepth);

}  // namespace sim
