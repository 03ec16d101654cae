#include "image/Forward.h"

#include "gfx/FatalError.h"
#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "scene/GBufferRenderer.h"
#include "scene/FrameSetup.h"

ForwardOp::ForwardOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  addOutput("ImageOut", PortType::Image, std::make_unique<ForwardFunction>());
  linkOutput();
}

ForwardOp::ForwardFunction::ForwardFunction() = default;

ForwardOp::ForwardFunction::~ForwardFunction() { deleteTexture(depth); }

namespace {

// What the scene traversal may change and Forward puts back.
struct SavedState {
  Viewport viewport;
  Texture* depthTarget;
  ShaderProgram* shader;
  Float4x4 camera, cameraPrev, projection, world, worldPrev;
  RenderPass* pass;
  float zNear, zFar, fov;

  explicit SavedState(const Context& c)
      : viewport(c.viewport), depthTarget(c.frameDepthTarget), shader(c.shader), camera(c.camera),
        cameraPrev(c.cameraPrev), projection(c.projection), world(c.world), worldPrev(c.worldPrev),
        pass(c.scenePass), zNear(c.zNear), zFar(c.zFar), fov(c.fov) {}
  void restore(Context& c) const {
    c.viewport = viewport, c.frameDepthTarget = depthTarget, c.shader = shader;
    c.camera = camera, c.cameraPrev = cameraPrev, c.projection = projection;
    c.world = world, c.worldPrev = worldPrev, c.scenePass = pass;
    c.zNear = zNear, c.zFar = zFar, c.fov = fov;
  }
};

}  // namespace

void ForwardOp::ForwardFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  if (notLoaded) {
    // Read once: a file that does not load leaves the operator inert for the whole run.
    notLoaded = 0;
    const std::string file = evalText(s, Shader, t, ctx);
    if (file.empty())
      logMessage("Forward: no shader file given; the operator draws nothing\n");
    else if (!loadProgramFromFile(file.c_str(), EntryPoints::vsps("VS", "PS"), program))
      logMessage("Forward: shader file %s did not load (entries VS and PS); the operator draws nothing\n",
                 file.c_str());
    else
      checkObjectConstants(program.get(), file.c_str(), ObjectBlockUse::Partial);
  }

  Texture* image = nullptr;
  if (!s[ImageIn]->sources.empty()) {
    Texture* before = ctx.imageResult;
    evalInput(s, ImageIn, t, ctx);
    image = ctx.imageResult;
    ctx.imageResult = before;
  }
  const bool useDepth = evalFloat(s, Depth, t, ctx) > 0.0f;
  if (!image || !program || !program->shaders[0] || !program->shaders[4]) return;
  Device* device = ctx.targets ? ctx.targets->device : gDevice;
  if (!device) return;

  const SavedState saved(ctx);
  const uint32_t w = image->width(), h = image->height();
  if (w != ctx.screenWidth() || h != ctx.screenHeight()) ctx.viewport = Viewport{0, 0, int32_t(w), int32_t(h)};

  if (useDepth && (!depth || depth->width() != w || depth->height() != h)) {
    deleteTexture(depth);
    TextureDesc d;
    d.flags = kDepthTargetFlags;
    d.format = kDefaultDepthFormat;
    d.width = w;
    d.height = h;
    depth = createTexture(device, d, nullptr);
  }
  // "Depth" only decides whether the buffer is made (or remade for a new size): once it
  // exists it serves whatever "Depth" says later. One of another size than this picture
  // cannot be bound with it, so the picture is then drawn without depth.
  Texture* depthTarget = depth && depth->width() == w && depth->height() == h ? depth : nullptr;
  if (depthTarget) {
    const float clear[4] = {1.0f, 0.0f, 0.0f, 0.0f};
    clearTexture(device, depthTarget, clear);
  }

  ctx.world = Float4x4::identity();
  ctx.worldPrev = Float4x4::identity();
  pass = RenderPass{};
  pass.depthTarget = depthTarget;
  pass.colourTargets[0] = image;
  pass.rect[0] = ctx.viewport.left;
  pass.rect[1] = ctx.viewport.top;
  pass.rect[2] = ctx.viewport.right;
  pass.rect[3] = ctx.viewport.bottom;
  pass.width = w;
  pass.height = h;
  pass.depthClear = 1.0f;
  ctx.scenePass = &pass;
  ctx.shader = program.get();
  ctx.frameDepthTarget = depthTarget;

  evalInput(s, SceneIn, t, ctx);

  saved.restore(ctx);
  ctx.imageResult = image;
}
