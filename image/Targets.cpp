#include "image/Targets.h"

#include <algorithm>
#include <cmath>

#include "engine/Choice.h"
#include "engine/FloatOperators.h"
#include "gfx/Device.h"
#include "gfx/FatalError.h"
#include "gfx/ShaderProgram.h"
#include "image/SlotTable.h"
#include "scene/FrameSetup.h"
#include "scene/SceneContext.h"

namespace {

uint32_t side(float requested, uint32_t window) {
  // NaN and negative sides fall through to the window's side.
  if (!(requested >= 1.0f)) return window;
  return static_cast<uint32_t>(std::min(requested, float(kMaxImageSide)));
}

// Reads the four clear colour inputs from `first` on, in order.
void readColour(const std::vector<Port*>& s, size_t first, float t, Context& ctx, float out[4]) {
  for (size_t i = 0; i < 4; ++i) out[i] = evalFloat(s, first + i, t, ctx);
}

void clearTarget(Context& ctx, Texture* target, const float colour[4]) {
  Device* device = deviceOf(ctx);
  if (!device || !target) return;
  clearTexture(device, target, colour);
  unbindRenderTargets(device);
}

// Whether a target made for request `a` serves request `b`: the same pixels, whatever the
// parameters were (4 and 4.7 both ask for 4, two NaNs both for the window's side). A
// screen-sized target follows the window by itself.
bool sameTarget(const RequestedSize& a, const RequestedSize& b) {
  if (a.screenSized || b.screenSized) return a.screenSized == b.screenSized;
  return a.width == b.width && a.height == b.height;
}

}  // namespace

RequestedSize requestedSize(float sizeX, float sizeY, const Context& ctx) {
  RequestedSize r;
  // A side is taken as asked once it reaches a whole pixel (truncation: 0.5 means none).
  r.screenSized = !(sizeX >= 1.0f) && !(sizeY >= 1.0f);
  r.width = side(sizeX, ctx.screenWidth());
  r.height = side(sizeY, ctx.screenHeight());
  return r;
}

// ---- Image ----------------------------------------------------------------------------------

ImageOp::ImageOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  addColorGroup("Clear", ClearR, 4);
  addOutput("ImageOut", PortType::Image, std::make_unique<ImageFunction>());
  linkOutput();
}

void ImageOp::ImageFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  sizeX = evalFloat(s, SizeX, t, ctx);
  sizeY = evalFloat(s, SizeY, t, ctx);
  const uint32_t format = evalChoice(s, Format, t, ctx) == 1 ? format::RGBA8 : format::RGBA16F;
  const RequestedSize size = requestedSize(sizeX, sizeY, ctx);
  target = nullptr;
  if (ctx.targets)
    target = size.screenSized ? acquireColourTarget(*ctx.targets, 0, 0, kSizeFull, format)
                              : acquireColourTarget(*ctx.targets, size.width, size.height, 0, format);

  float colour[4];
  readColour(s, ClearR, t, ctx, colour);
  const bool clear = evalFloat(s, Clear, t, ctx) > 0.5f;
  const bool clearGBufferAfter = evalFloat(s, ClearGBufferAfter, t, ctx) > 0.5f;
  const bool setRegion = evalFloat(s, SetRegionToCurrentSize, t, ctx) > 0.5f;

  const Viewport whole{0, 0, int32_t(size.width), int32_t(size.height)};
  if (setRegion) ctx.viewport = whole;
  const Viewport saved = ctx.viewport;
  if (!size.screenSized) ctx.viewport = whole;
  if (clear) clearTarget(ctx, target, colour);

  // The output is whatever the input leaves: an effect in the input chain leaves a ring
  // picture instead of this target.
  ctx.imageResult = target;
  evalInput(s, ImageIn, t, ctx);
  // Back to "nothing drawn here", as the readers of the G-buffer understand it.
  if (clearGBufferAfter) clearGBuffer(ctx);
  ctx.viewport = saved;
}

// ---- SlotIn / SlotOut -------------------------------------------------------------------------

SlotInOp::SlotInOp() : Operator(CategoryImage) {
  // Runs once every frame before the graphs are drawn, so a SlotOut anywhere sees this
  // frame's picture even when nothing drawn pulls the SlotIn.
  flags = 0x02 | OperatorFlags::EveryFrame;
  declareInputs(kParams);
  addColorGroup("Clear", ClearR, 4);
  addOutput("ImageOut", PortType::Image, std::make_unique<SlotInFunction>());
  linkOutput();
}

SlotInOp::SlotInFunction::~SlotInFunction() {
  SlotTable::instance().replace(target, nullptr);
  deleteTexture(target);
}

void SlotInOp::SlotInFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  const float askedX = evalFloat(s, SizeX, t, ctx);
  const float askedY = evalFloat(s, SizeY, t, ctx);
  float colour[4];
  readColour(s, ClearR, t, ctx, colour);
  const bool clear = evalFloat(s, Clear, t, ctx) > 0.5f;
  const int32_t id = truncToInt32(evalFloat(s, Id, t, ctx));
  // The region keeps a side that was given; the target is window-sized (and follows the
  // window) as soon as either side is not.
  const RequestedSize size = requestedSize(askedX, askedY, ctx);
  const Viewport whole{0, 0, int32_t(size.width), int32_t(size.height)};
  RequestedSize wanted = size;
  if (!(askedX >= 1.0f) || !(askedY >= 1.0f)) wanted = RequestedSize{ctx.screenWidth(), ctx.screenHeight(), true};

  // The input chain gets its own G-buffer, depth target and ring of the slot's size. The
  // region is set first so that the fresh G-buffer pass covers the whole slot.
  ctx.viewport = whole;
  ctx.beginFrame(size.width, size.height, false, false);

  Device* device = deviceOf(ctx);
  if (device && (!target || !sameTarget(wanted, made))) {
    TextureDesc d;
    d.flags = kPooledColourFlags;
    d.format = format::RGBA16F;
    d.options = 0x40 | (wanted.screenSized ? uint32_t(kSizeFull) : 0u);
    d.width = wanted.width;
    d.height = wanted.height;
    Texture* fresh = createTexture(device, d, nullptr);
    if (!fresh) {
      logMessage("SlotIn %d: cannot create a target of %u x %u\n", id, wanted.width, wanted.height);
    } else {
      // Whoever still holds the old picture (the table, a SlotOut's result) sees the new one.
      SlotTable::instance().replace(target, fresh);
      if (ctx.imageResult == target && target) ctx.imageResult = fresh;
      deleteTexture(target);
      target = fresh;
      made = wanted;
      sizeX = askedX;
      sizeY = askedY;
    }
  }
  if (!target) return;

  if (clear) clearTarget(ctx, target, colour);
  ctx.imageResult = target;
  evalInput(s, ImageIn, t, ctx);
  // An input ending in an effect leaves a ring picture, which later frames reuse: keep a copy.
  if (ctx.imageResult != target) {
    RenderStateDesc opaque = RenderStateDesc::zeroed();
    opaque.stencilReadMask = opaque.stencilWriteMask = 0xFF;
    // A given side may be wider than the window-sized target.
    const Viewport kept{0, 0, std::min(whole.right, int32_t(target->width())),
                        std::min(whole.bottom, int32_t(target->height()))};
    copyPass(target, ctx.imageResult, kept, opaque, false);
    ctx.imageResult = target;
  }
  SlotTable::instance().set(id, target);

  if (device && ctx.frameDepthTarget) {
    const float depth[4] = {1.0f, 0.0f, 0.0f, 0.0f};
    clearTexture(device, ctx.frameDepthTarget, depth);
    unbindRenderTargets(device);
  }
}

SlotOutOp::SlotOutOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  addOutput("ImageOut", PortType::Image, std::make_unique<SlotOutFunction>());
  linkOutput();
}

void SlotOutOp::SlotOutFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  if (Texture* slot = SlotTable::instance().find(truncToInt32(evalFloat(s, Id, t, ctx)))) ctx.imageResult = slot;
}

// ---- GBuffer / SplitGBuffer -------------------------------------------------------------------

GBufferOp::GBufferOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  addOutput("ImageOut", PortType::Image, std::make_unique<GBufferFunction>());
  linkOutput();
}

void GBufferOp::GBufferFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  ctx.beginFrame(ctx.screenWidth(), ctx.screenHeight(), true, false);
  evalInput(s, ImageIn, t, ctx);
}

SplitGBufferOp::SplitGBufferOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  for (const char* name : {"Albedo", "Normal", "Material", "Emissive"}) {
    addOutput(name, PortType::Image, std::make_unique<SplitFunction>());
    linkOutput();
  }
  numberOutputs();
}

void SplitGBufferOp::SplitFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  evalInput(s, InImage, t, ctx);
  ctx.imageResult = ctx.gbuffer[outputIndex < 4 ? outputIndex : 3];
}
