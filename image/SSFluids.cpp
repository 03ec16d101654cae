#include "image/SSFluids.h"

#include <algorithm>
#include <cmath>

#include "gfx/Device.h"
#include "gfx/FatalError.h"
#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"
#include "gfx/Texture.h"
#include "image/Effects.h"
#include "image/ImagePass.h"
#include "image/PostProcessManager.h"
#include "scene/FrameSetup.h"

using namespace imagepass;

namespace {

constexpr uint32_t kBufferFlags = 0x40041;  // structured, shader resource and unordered access
constexpr uint32_t kCellGroups = FluidSolver::kDim / 16;  // 16 x 16 cells a group

struct Int4 {
  int32_t x, y, z, w;
};

std::unique_ptr<ShaderProgram> loadCompute(Device* device, const char* file, const char* entry) {
  if (!device) return nullptr;
  return loadComputeProgram(file, entry);
}

Texture* makeBuffer(Device* device, uint32_t bitsPerElement) {
  TextureDesc d;
  d.flags = kBufferFlags;
  d.bitsPerPixel = bitsPerElement;
  d.width = FluidSolver::kDim * FluidSolver::kDim;
  return createTexture(device, d, nullptr);
}

void fftConstants(ShaderProgram* program, int32_t pass) {
  ConstantWriter(program, "ssFluids FFT", trace)
      .set("gDIM", int32_t(FluidSolver::kDim))
      .set("gDIMLog2", int32_t(FluidSolver::kDimLog2))
      .set("gPass", pass);
}

}  // namespace

FluidSolver::FluidSolver(Device* device) : device_(device) {
  fftForwardRows = loadCompute(device, "fft", "CSFFTR2C");
  fftForwardColumns = loadCompute(device, "fft", "CSFFTR2C");
  fftInverseColumns = loadCompute(device, "fft", "CSFFTC2R");
  fftInverseRows = loadCompute(device, "fft", "CSFFTC2R");
  addForces = loadCompute(device, "ssFluids", "CSAddForces");
  advectVelocity = loadCompute(device, "ssFluids", "CSAdvectVelocity");
  diffuseProject = loadCompute(device, "ssFluids", "CSDiffuseProject");
  updateVelocity = loadCompute(device, "ssFluids", "CSUpdateVelocity");
  if (device) applyVelocity = loadPassProgram("ssFluids", "VS", "PSApplyVelocity");
}

FluidSolver::~FluidSolver() {
  deleteTexture(velocity);
  deleteTexture(spectrum);
  deleteTexture(scratch);
}

bool FluidSolver::ready() const {
  for (const auto* p : {&fftForwardRows, &fftForwardColumns, &fftInverseColumns, &fftInverseRows, &addForces,
                        &advectVelocity, &diffuseProject, &updateVelocity, &applyVelocity})
    if (!usable(p->get())) return false;
  return true;
}

uint32_t FluidSolver::stepsDue(float t, float stepsPerSecond) {
  if (!(stepsPerSecond > 0.0f) || !std::isfinite(t)) return 0;
  stepsPerSecond = std::min(stepsPerSecond, 100000.0f);
  if (!started_) {
    started_ = true;
    lastTime_ = t;
    pending_ = 0.0f;
    return 1;
  }
  const float elapsed = t - lastTime_;
  lastTime_ = t;
  if (!(elapsed > 0.0f)) return 0;
  pending_ += std::min(elapsed, 0.25f) * stepsPerSecond;
  const float whole = std::floor(pending_);
  pending_ -= whole;
  return uint32_t(std::min(whole, float(kMaxStepsPerFrame)));
}

void FluidSolver::setConstants(const SSFluidsBlock& block, Texture* source, Texture* mask, const Viewport& vp,
                               float dt) {
  const RegionConstants region = regionConstants(source, vp);
  const Int4 rect{vp.left, vp.top, vp.right, vp.bottom};
  for (ShaderProgram* p : {addForces.get(), advectVelocity.get(), diffuseProject.get(), updateVelocity.get(),
                           applyVelocity.get()})
    ConstantWriter(p, "ssFluids", trace)
        .region(region)
        .set("gRegion", rect)
        .set("gDIM", int32_t(kDim))
        .set("gDeltaTime", dt)
        .set("gForce", block.force)
        .set("gInfluence", block.influence)
        .set("gViscosity", block.viscosity)
        .set("gDissipation", kDissipation)
        .set("gDisplacement", kDisplacement)
        .set("gMaskConnected", int32_t(mask ? 1 : 0));
  fftConstants(fftForwardRows.get(), 0);
  fftConstants(fftForwardColumns.get(), 1);
  fftConstants(fftInverseColumns.get(), 0);
  fftConstants(fftInverseRows.get(), 1);
}

void FluidSolver::step() {
  bindUav(advectVelocity.get(), 0, velocity);
  bindUav(advectVelocity.get(), 2, scratch);
  runCompute(advectVelocity.get(), kCellGroups, kCellGroups);

  bindComputeTexture(addForces.get(), 0, tiles_, linearWrap(device_));
  bindComputeTexture(addForces.get(), 1, mask_, linearClamp(device_));
  bindUav(addForces.get(), 0, velocity);
  bindUav(addForces.get(), 2, scratch);
  runCompute(addForces.get(), kCellGroups, kCellGroups);

  // Each FFT pass binds both of its entry's buffers, also the one the pass leaves alone.
  for (ShaderProgram* pass : {fftForwardRows.get(), fftForwardColumns.get()}) {
    bindUav(pass, 0, velocity);
    bindUav(pass, 1, spectrum);
    runCompute(pass, kDim, 1);
  }

  bindUav(diffuseProject.get(), 1, spectrum);
  runCompute(diffuseProject.get(), kCellGroups, kCellGroups);

  for (ShaderProgram* pass : {fftInverseColumns.get(), fftInverseRows.get()}) {
    bindUav(pass, 1, spectrum);
    bindUav(pass, 2, scratch);
    runCompute(pass, kDim, 1);
  }

  bindUav(updateVelocity.get(), 0, velocity);
  bindUav(updateVelocity.get(), 2, scratch);
  runCompute(updateVelocity.get(), kCellGroups, kCellGroups);
  ++stepsRun;
}

void FluidSolver::apply(const SSFluidsBlock& block, Texture* velocityTiles, Texture* mask, Texture* source,
                        Texture* destination, const Viewport& vp, float t) {
  if (!source || !destination || !device_) return;
  if (!ready()) {
    RenderStateDesc opaque = passStateDesc();
    copyPass(destination, source, vp, opaque, false);
    return;
  }
  if (!velocity) {
    velocity = makeBuffer(device_, 64);
    spectrum = makeBuffer(device_, 128);
    scratch = makeBuffer(device_, 128);
  }
  if (!velocity || !spectrum || !scratch) return;
  const float rate = std::min(block.stepsPerSecond, 100000.0f);
  const uint32_t steps = stepsDue(t, block.stepsPerSecond);
  setConstants(block, source, mask, vp, rate > 0.0f ? 1.0f / rate : 0.0f);
  tiles_ = velocityTiles;
  mask_ = mask;
  for (uint32_t i = 0; i < steps; ++i) step();
  tiles_ = mask_ = nullptr;

  bindTexture(applyVelocity.get(), 2, source, linearClamp(device_));
  applyVelocity->setResource(4, 3, velocity);
  if (trace) trace->textures.push_back({applyVelocity.get(), 4, 3, velocity});
  drawOver(applyVelocity.get(), destination, vp);
}

// ---------------------------------------------------------------- the operator

SSFluidsOp::SSFluidsOp() : Operator(CategoryImage) {
  declareInputs(kParams);
  ZV_IMAGE_OUT(SSFluidsOp, SSFluidsFunction);
}

void SSFluidsOp::SSFluidsFunction::evaluate(float t, const std::vector<Port*>& s, Context& ctx) {
  Texture* source = effects::evalImage(s, ImageIn, t, ctx);
  if (!source) return;
  Texture* mask = nullptr;
  if (effects::connected(s, MaskIn)) {
    mask = effects::evalImage(s, MaskIn, t, ctx);
    ctx.imageResult = source;
  }
  PostProcessManager* manager = gPostProcessManager;
  const float influence = evalFloat(s, Influence, t, ctx);
  const float force = evalFloat(s, Force, t, ctx);
  const float viscosity = evalFloat(s, Viscosity, t, ctx);
  const float stepsPerSecond = evalFloat(s, StepsPerSecond, t, ctx);
  if (!manager || !manager->ssFluids.solver) return;  // nothing to run it: the picture passes through
  SSFluidsBlock& block = manager->ssFluids;
  block.influence = influence;
  block.force = force;
  block.viscosity = viscosity;
  block.stepsPerSecond = stepsPerSecond;
  Texture* destination = effects::nextRingTargetOtherThan(ctx, source);
  if (!destination) return;
  Texture* tiles = ctx.targets && ctx.targets->gbuffer ? ctx.targets->gbuffer->velocityTiles : nullptr;
  block.solver->apply(block, tiles, readable(ctx, mask, destination), source, destination, ctx.viewport, t);
  ctx.imageResult = destination;
}
