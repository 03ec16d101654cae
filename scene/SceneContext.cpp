#include "scene/SceneContext.h"

#include "gfx/Device.h"
#include "scene/FrameSetup.h"
#include "scene/GBufferRenderer.h"
#include "scene/Mesh.h"
#include "scene/MeshBuilder.h"

bool initSceneContext(Context& ctx, Device* device) {
  if (!device) return false;
  if (!ctx.gbufferRenderer) ctx.gbufferRenderer = GBufferRenderer::Create(device).release();
  if (!ctx.quadMesh) {
    MeshBuilder quad;
    quad.addQuad({0, 0, 0});
    ctx.quadMesh = quad.toMesh(device).release();
  }
  if (ctx.gbufferRenderer && !ctx.shader) ctx.shader = ctx.gbufferRenderer->gbufferProgram.get();
  return ctx.gbufferRenderer != nullptr;
}

void releaseSceneContext(Context& ctx) {
  ctx.shader = nullptr;
  delete ctx.gbufferRenderer;
  ctx.gbufferRenderer = nullptr;
  delete ctx.quadMesh;
  ctx.quadMesh = nullptr;
}

Device* deviceOf(const Context& ctx) {
  if (ctx.targets && ctx.targets->device) return ctx.targets->device;
  if (ctx.gbufferRenderer && ctx.gbufferRenderer->device) return ctx.gbufferRenderer->device;
  return gDevice;
}
