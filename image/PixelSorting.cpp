#include "image/PixelSorting.h"

#include <algorithm>

#include "engine/Choice.h"
#include "engine/FloatOperators.h"
#include "gfx/Device.h"
#include "gfx/ShaderProgram.h"
#include "gfx/Texture.h"
#include "image/Effects.h"
#include "image/ImagePass.h"
#include "scene/FrameSetup.h"

using namespace imagepass;

namespace {

constexpr uint32_t kWorkBufferFlags = 0x40041;  // structured, shader resource and unordered access
// The range program walks 64 lines a group; the sort program takes a line a group, in rows of
// 2048 groups. Only the groups that have a line are dispatched: on a CPU driver thousands of
// idle groups cost more than the sort itself.
constexpr uint32_t kLinesPerRangeGroup = 64;
constexpr uint32_t kSortGroupsPerRow = 2048;

Texture* makeUintBuffer(Device* device, uint32_t elements) {
  TextureDesc d;
  d.flags = kWorkBufferFlags;
  d.bitsPerPixel = 32;
  d.width = std::max(elements, 1u);
  return createTexture(device, d, nullptr);
}

struct Int4 {
  int32_t x, y, z, w;
};

}  // namespace

PixelSortingOp::PixelSortingOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(PixelSortingOp, PixelSortingFunction);
}

PixelSortingOp::PixelSortingFunction::PixelSortingFunction() {
  if (!gDevice) return;
  tried = true;
  range = loadComputeProgram("pixelSorting//pixelRange", "main");
  sort = loadComputeProgram("pixelSorting//pixelSort", "main");
}

PixelSortingOp::PixelSortingFunction::~PixelSortingFunction() {
  deleteTexture(runs);
  deleteTexture(keys);
}

void PixelSortingOp::PixelSortingFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture* picture = effects::evalImage(s, ImageIn, t, ctx);
  blackVal = evalFloat(s, BlackVal, t, ctx);
  const bool horizontal = evalFloat(s, Horizontal, t, ctx) > 0.0f;
  const bool vertical = evalFloat(s, Vertical, t, ctx) > 0.0f;
  invertSort = evalFloat(s, InvertSort, t, ctx) > 0.0f ? 1.0f : 0.0f;
  useColorAverage = evalFloat(s, UseColorAverage, t, ctx) > 0.0f ? 1.0f : 0.0f;
  mode = evalChoice(s, Mode, t, ctx);
  if (blackVal >= 1.0f || (!horizontal && !vertical)) return;
  if (!picture) {
    // Nothing to sort still takes the next ring image, which shows nothing rather than an
    // older picture.
    Texture* destination = effects::nextRingTargetOtherThan(ctx, nullptr);
    if (destination) clearWhole(deviceOf(ctx), destination);
    ctx.imageResult = destination;
    return;
  }
  if (!tried && gDevice) {
    tried = true;
    range = loadComputeProgram("pixelSorting//pixelRange", "main");
    sort = loadComputeProgram("pixelSorting//pixelSort", "main");
  }

  Texture* destination = effects::nextRingTargetOtherThan(ctx, picture);
  if (!destination) return;
  RenderStateDesc opaque = passStateDesc();
  copyPass(destination, picture, ctx.viewport, opaque, false);
  if (horizontal) {
    sortPass(ctx, picture, destination, true);
    // The columns are sorted from the row-sorted picture, which replaces the input.
    if (vertical) copyPass(picture, destination, ctx.viewport, opaque, false);
  }
  if (vertical) sortPass(ctx, picture, destination, false);
  ctx.imageResult = destination;
}

void PixelSortingOp::PixelSortingFunction::sortPass(Context& ctx, Texture* source, Texture* destination,
                                                    bool horizontal) {
  if (!usable(range.get()) || !usable(sort.get())) return;
  // Only pixels both pictures have.
  const int32_t maxX = int32_t(std::min(source->width(), destination->width()));
  const int32_t maxY = int32_t(std::min(source->height(), destination->height()));
  const Int4 region{std::clamp(ctx.viewport.left, 0, maxX), std::clamp(ctx.viewport.top, 0, maxY),
                    std::clamp(ctx.viewport.right, 0, maxX), std::clamp(ctx.viewport.bottom, 0, maxY)};
  const uint32_t width = uint32_t(std::max(region.z - region.x, 0));
  const uint32_t height = uint32_t(std::max(region.w - region.y, 0));
  if (width == 0 || height == 0) return;
  const uint32_t lines = horizontal ? height : width;
  const uint32_t pixels = width * height;
  if (pixels > capacity) {
    deleteTexture(runs);
    deleteTexture(keys);
    runs = makeUintBuffer(range->device, pixels);
    keys = makeUintBuffer(range->device, pixels);
    capacity = runs && keys ? pixels : 0;
  }
  if (!runs || !keys) return;

  const float h = horizontal ? 1.0f : 0.0f;
  ConstantWriter(range.get(), "pixelSorting/pixelRange", trace)
      .set("gBlackVal", blackVal)
      .set("gHorizontal", h)
      .set("gRegion", region)
      .set("gMode", mode)
      .set("gUseColorAverage", useColorAverage);
  bindComputeTexture(range.get(), 0, source, pointWrap(range->device));
  bindUav(range.get(), 1, runs);
  bindUav(range.get(), 2, keys);
  runCompute(range.get(), (lines + kLinesPerRangeGroup - 1) / kLinesPerRangeGroup, 1);

  ConstantWriter(sort.get(), "pixelSorting/pixelSort", trace)
      .set("gHorizontal", h)
      .set("gBlackVal", blackVal)
      .set("gRegion", region)
      .set("gMode", mode)
      .set("gInvertSort", invertSort)
      .set("gUseColorAverage", useColorAverage);
  bindComputeTexture(sort.get(), 0, source, nullptr);
  bindUav(sort.get(), 1, runs);
  bindUav(sort.get(), 2, destination);
  bindUav(sort.get(), 3, keys);
  runCompute(sort.get(), std::min(lines, kSortGroupsPerRow), (lines + kSortGroupsPerRow - 1) / kSortGroupsPerRow);
}
