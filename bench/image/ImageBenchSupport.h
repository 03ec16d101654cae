#pragma once
// Shared by the image benchmarks: an offscreen Screen with the post-process manager and a
// Context whose targets follow it, a picture filled from the CPU as RGBA16F, and a
// hand-made operator that puts it into the image result as the input of what is measured.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/Globals.h"
#include "engine/Math.h"
#include "engine/Project.h"
#include "gfx/Screen.h"
#include "gfx/ShaderManager.h"
#include "gfx/Texture.h"
#include "image/Operators.h"
#include "image/PostProcessManager.h"
#include "scene/FrameSetup.h"

namespace imagebench {

// Float to half, truncating; enough for the smooth test pictures the benchmarks draw.
inline uint16_t toHalf(float f) {
  uint32_t x;
  std::memcpy(&x, &f, 4);
  const uint32_t sign = (x >> 16) & 0x8000;
  const int32_t exponent = int32_t((x >> 23) & 0xFF) - 112;
  if (exponent <= 0) return uint16_t(sign);
  if (exponent >= 31) return uint16_t(sign | 0x7C00);
  return uint16_t(sign | (uint32_t(exponent) << 10) | ((x & 0x7FFFFF) >> 13));
}

// Puts a fixed picture into the image result.
class PictureOp : public Operator {
 public:
  explicit PictureOp(Texture* picture) {
    auto fn = std::make_unique<Fn>();
    fn->picture = picture;
    addOutput("ImageOut", PortType::Image, std::move(fn));
    linkOutput();
  }
  class Fn : public Function {
   public:
    void evaluate(float, const std::vector<Port*>&, Context& ctx) override { ctx.imageResult = picture; }
    Texture* picture = nullptr;
  };
};

// The device, the manager and the targets for a width x height picture seen through a
// camera of the given vertical field of view; the benchmark fills the G-buffer and then
// hands its picture to setPicture.
struct ImageBenchFixture {
  std::unique_ptr<Screen> screen;
  std::unique_ptr<PostProcessManager> manager;
  Context ctx;
  OperatorGraph graph;
  Texture* picture = nullptr;
  Operator* source = nullptr;  // puts the picture into the image result

  ImageBenchFixture(uint32_t width, uint32_t height, float fovDegrees) {
    isLoading = false;
    registerImageOperators();
    ScreenSettings settings;
    settings.width = width;
    settings.height = height;
    screen = std::make_unique<Screen>(nullptr, settings);
    manager = std::make_unique<PostProcessManager>();
    manager->init(screen->device, screen.get());
    initContextTargets(ctx, screen->device, screen.get());
    ctx.projection = mat::perspectiveFovDegrees(fovDegrees, float(width) / float(height), 0.1f, 100.0f);
  }

  ~ImageBenchFixture() {
    screen->device->waitIdle();
    graph.operators.clear();
    deleteTexture(picture);
    releaseContextTargets(ctx);
    manager.reset();
    screen.reset();
    clearShaderCache();
  }

  // `rgba` is the picture as RGBA16F, row by row; the source operator puts it into the
  // image result.
  void setPicture(const std::vector<uint16_t>& rgba, uint32_t width, uint32_t height) {
    TextureDesc d;
    d.flags = 0x10009;
    d.format = 0x50304;
    d.width = width;
    d.height = height;
    picture = createTexture(screen->device, d, rgba.data());
    auto op = std::make_unique<PictureOp>(picture);
    op->id = graph.nextId++;
    source = op.get();
    graph.operators.push_back(std::move(op));
  }
};

}  // namespace imagebench
