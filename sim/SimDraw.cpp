#include "sim/SimDraw.h"

#include "gfx/ConstantWriter.h"
#include "gfx/DeviceContext.h"
#include "gfx/ShaderProgram.h"
#include "gfx/Texture.h"
#include "scene/GBufferRenderer.h"

namespace sim {

EntryPoints spriteEntries() {
  EntryPoints e = EntryPoints::vsps("VS", "PS");
  e.entry[3] = "GS";
  return e;
}

RenderStateDesc spriteGBufferState() {
  RenderStateDesc s = RenderStateDesc::zeroed();
  s.flags = kDepthTest | kDepthWrite;
  s.depthFunc = D3D11_COMPARISON_LESS_EQUAL;
  s.stencilReadMask = 0xFF;
  s.stencilWriteMask = 0xFF;
  return s;
}

Float4x4 viewMatrix(const Context& ctx) { return mat::rigidInverse(ctx.camera); }
Float4x4 worldView(const Context& ctx) { return ctx.world * viewMatrix(ctx); }

void drawSprites(const SpriteDraw& d, Context& ctx, bool withDepth) {
  if (!d.program || !d.particles || !ctx.scenePass || !gDevice || d.vertexCount == 0) return;
  RenderPass pass = *ctx.scenePass;
  pass.clearFlags = 0;
  if (!withDepth) pass.depthTarget = nullptr;
  bindRenderPass(gDevice, pass);

  if (ConstantWriter w(d.program, "sprites", nullptr, 0, MapFailure::Skip); w.mapped()) {
    // The per-object constants of a mesh draw (matrices, region, the Context's material),
    // then the sprite's own.
    writeObjectConstants(w, ctx);
    w.set("gColor", d.colour).set("gSize", d.size).set("gTime", d.time);
  }
  d.program->setResource(0, 1, d.particles);
  if (d.texture) {
    d.program->setResource(4, 0, d.texture);
    d.program->setSampler(4, 0, gDevice->samplerFor(SamplerDesc::forMode(7)));
  }
  bindProgram(d.program);
  DeviceContext* dc = gDevice->context();
  dc->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_POINTLIST);
  dc->setInputLayout(nullptr);
  dc->draw(d.vertexCount, d.firstVertex);
  unbindResources(d.program);
  unbindRenderTargets(gDevice);
}

}  // namespace sim
