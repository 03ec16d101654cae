#pragma once
// The one evaluation context handed to every Function. Results travel through it,
// never along connections: a Float evaluation leaves its value in floatResult, a Text
// evaluation in textResult, an image operator its picture in imageResult and region.
//
// The engine knows nothing about graphics. The drawing layers fill the pointer fields
// with their own objects (only forward-declared here) and install FrameHooks, through
// which the timeline asks for a fresh frame setup between graphs.
#include <cstdint>
#include <string>

#include "engine/Math.h"

class Context;
class Texture;
class ShaderProgram;
class GBufferRenderer;
struct Mesh;
struct RenderPass;
struct ContextTargets;  // pools, post-process ring and G-buffer set; owned by the scene's frame setup

// Left, top, right, bottom in pixels of the current render target.
struct Viewport {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
  bool operator==(const Viewport&) const = default;
};

// What the timeline needs from the graphics layer. Without hooks (tools, tests of the
// engine alone) these calls do nothing.
class FrameHooks {
 public:
  virtual ~FrameHooks() = default;
  // Per-frame preparation of targets and scene defaults; see Context::beginFrame.
  virtual void beginFrame(Context& ctx, uint32_t width, uint32_t height, bool fullSize, bool releaseAll) = 0;
  // Current back-buffer size, used for the setups the timeline runs between graphs.
  virtual uint32_t screenWidth() const = 0;
  virtual uint32_t screenHeight() const = 0;
};

class Context {
 public:
  // --- evaluation results -------------------------------------------------------
  float floatResult = 0.0f;
  std::string textResult;

  // --- image state ----------------------------------------------------------------
  Texture* imageResult = nullptr;  // where the evaluated image was drawn
  Viewport viewport;               // the region rectangle all passes render inside

  // --- scene traversal ------------------------------------------------------------
  // Every scene operator but a camera leaves world and material fields as it found them;
  // cameras leave camera, projection, zNear, zFar and fov set for the passes that follow.
  ShaderProgram* shader = nullptr;  // the program of every mesh draw (null: the G-buffer program)
  Float4x4 world, worldPrev;
  Float4x4 camera, cameraPrev;
  Float4x4 projection;
  float zNear = 0.1f, zFar = 1000.0f, fov = 45.0f;
  // Material state. Textures are not owned; a null slot draws with the default texture.
  Float4 baseColor{1, 1, 1, 1};
  Float4 specularColor{1, 1, 1, 1};
  Float4 emissive{0, 0, 0, 1};
  float roughness = 0.5f, metalness = 0.0f;
  Float2 tileUV{1, 1};
  Texture* albedoTexture = nullptr;
  Texture* roughnessTexture = nullptr;
  Texture* metalnessTexture = nullptr;
  Texture* emissiveTexture = nullptr;
  Texture* normalTexture = nullptr;
  // gParam1..3 of the Context shader: a custom material sets them for its subtree, and
  // every mesh draw writes them with the per-object constants (a constant buffer is
  // rewritten whole on every draw, so values set once would not survive).
  float shaderParams[3] = {0, 0, 0};
  RenderPass* scenePass = nullptr;
  Texture* frameDepthTarget = nullptr;
  Texture* gbuffer[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
  GBufferRenderer* gbufferRenderer = nullptr;  // owned; made by the scene layer's initSceneContext
  Mesh* quadMesh = nullptr;                    // owned likewise: the unit quad that sprites draw

  // --- owned by the graphics layer ------------------------------------------------
  ContextTargets* targets = nullptr;
  FrameHooks* hooks = nullptr;

  // Fresh frame setup (targets, cleared G-buffer, camera defaults, empty per-frame
  // lists). Does nothing without hooks.
  void beginFrame(uint32_t width, uint32_t height, bool fullSize, bool releaseAll) {
    if (hooks) hooks->beginFrame(*this, width, height, fullSize, releaseAll);
  }
  uint32_t screenWidth() const { return hooks ? hooks->screenWidth() : 0; }
  uint32_t screenHeight() const { return hooks ? hooks->screenHeight() : 0; }
};
