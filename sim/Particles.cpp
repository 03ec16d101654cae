#include "sim/Particles.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/FloatOperators.h"
#include "engine/Globals.h"
#include "gfx/ConstantWriter.h"
#include "gfx/DeviceContext.h"
#include "gfx/FatalError.h"
#include "gfx/SketchDraws.h"
#include "gfx/Texture.h"
#include "scene/GBufferRenderer.h"
#include "scene/Lights.h"
#include "sim/SimDraw.h"

namespace sim {

namespace {

// Bounds that keep every number a production can hold from reaching the GPU as something
// that overflows: forces, time scale and heights.
constexpr float kMaxAcceleration = 10000.0f;
constexpr float kMaxTimeScale = 1000.0f;
constexpr float kMaxCoordinate = 100000.0f;  // the update program retires particles beyond it
constexpr float kMaxEmitterSize = 100000.0f;
constexpr float kMaxLifetime = 1.0e6f;
constexpr float kMaxSpeed = 10000.0f;

float clampMagnitude(float v, float limit) { return clampFinite(v, -limit, limit, 0.0f); }

// Evaluates an image input when it is connected and returns the image it produced, leaving
// the Context's image result as it was.
Texture* evaluateImage(const std::vector<Port*>& sources, size_t input, float t, Context& ctx) {
  Port* port = sources[input];
  if (!port || port->sources.empty()) return nullptr;
  Texture* saved = ctx.imageResult;
  ctx.imageResult = nullptr;
  port->evaluate(t, ctx);
  Texture* image = ctx.imageResult;
  ctx.imageResult = saved;
  return image;
}

// The sprite texture when none is connected: the G-buffer renderer's opaque white.
Texture* defaultSpriteTexture(const Context& ctx) {
  return ctx.gbufferRenderer ? ctx.gbufferRenderer->whiteTexture : nullptr;
}

void setWorldAndProjection(ConstantWriter& cb, const Context& ctx) {
  cb.matrix("gWorldView", worldView(ctx).m).matrix("gProj", ctx.projection.m);
}

}  // namespace

ParticleScope& particleScope() {
  static ParticleScope scope;
  return scope;
}

uint32_t EmissionClock::take(float t, int32_t rate) {
  float elapsed = t - lastTime_;
  lastTime_ = t;
  if (!(elapsed > 0.0f)) elapsed = 0.0f;
  if (elapsed > 0.5f) elapsed = 0.5f;
  if (rate < 0) {
    remainder_ = 0.0f;
    return kParticleCount;
  }
  const double exact = double(rate) * double(elapsed) + double(remainder_);
  if (exact >= double(kParticleCount)) {
    remainder_ = 0.0f;
    return kParticleCount;
  }
  const double whole = std::floor(exact);
  remainder_ = float(exact - whole);
  return uint32_t(whole);
}

float particleStep(float t, float previous) {
  const float dt = t - previous;
  if (!(dt > 0.0f)) return 0.0f;
  return dt >= 0.1f ? 0.1f : dt;
}

// ---- ParticleSystem ------------------------------------------------------------------------

ParticleSysOp::ParticleSysOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addOutput("SceneOut", PortType::Scene, std::make_unique<ParticleSysFunction>());
  linkOutput();
}

ParticleSysOp::ParticleSysFunction::ParticleSysFunction()
    : params_(tableDefaults(kParams).data(), In::Count) {}

ParticleSysOp::ParticleSysFunction::~ParticleSysFunction() { deleteTexture(buffer_); }

void ParticleSysOp::ParticleSysFunction::evaluate(float t, const std::vector<Port*>& sources, Context& ctx) {
  if (needsInit) {
    needsInit = 0;
    if (gDevice) {
      buffer_ = createStructuredBuffer(kParticleCount, kParticleBytes);
      update_ = std::make_unique<ShaderProgram>(gDevice);
      if (!loadComputeProgram(*update_, "particles/update2", "main")) update_.reset();
    }
  }
  const float reset = params_.read(sources, Reset, t, ctx);
  ParticleScope& scope = particleScope();
  const ParticleScope outer = scope;
  scope.buffer = buffer_;
  scope.reset = reset > 0.0f;

  evalInput(sources, Emitter, t, ctx);
  evalInput(sources, Affector, t, ctx);

  lastStep = particleStep(t, lastTime_);
  const Float4 gravity{clampMagnitude(params_.read(sources, GravityX, t, ctx), kMaxAcceleration),
                       clampMagnitude(params_.read(sources, GravityY, t, ctx), kMaxAcceleration),
                       clampMagnitude(params_.read(sources, GravityZ, t, ctx), kMaxAcceleration), 0.0f};
  // Negative scales run the particles backwards; only the magnitude is bounded.
  const float timeScale = clampMagnitude(params_.read(sources, TimeScale, t, ctx), kMaxTimeScale);
  const float plane = clampMagnitude(params_.read(sources, PlaneHeight, t, ctx), kMaxCoordinate);

  if (update_ && buffer_) {
    if (ConstantWriter cb(update_.get(), "particles/update2", nullptr, 0, MapFailure::Skip); cb.mapped()) {
      cb.set("gDeltaTime", lastStep);
      cb.set("gReset", reset);
      cb.set("gGravity", gravity);
      cb.set("gTimeScale", timeScale);
      cb.set("gPlaneHeight", plane);
    }
    update_->setUav(0, buffer_);
    dispatch(update_.get(), kParticleGroups, 1);
  }

  evalInput(sources, Renderer, t, ctx);

  scope = outer;
  lastTime_ = t;
}

// ---- emitters --------------------------------------------------------------------------------

SphereEmitterOp::SphereEmitterOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addOutput("SceneOut", PortType::Scene, std::make_unique<EmitterFunction>(true, tableDefaults(kParams)));
  linkOutput();
}

BoxEmitterOp::BoxEmitterOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addOutput("SceneOut", PortType::Scene, std::make_unique<EmitterFunction>(false, tableDefaults(kParams)));
  linkOutput();
}

EmitterFunction::EmitterFunction(bool sphere, const std::vector<float>& defaults)
    : sphere_(sphere), params_(defaults.data(), defaults.size()) {}

EmitterFunction::~EmitterFunction() = default;

void EmitterFunction::evaluate(float t, const std::vector<Port*>& sources, Context& ctx) {
  const ParticleScope& scope = particleScope();
  if (!scope.buffer) return;
  if (needsInit) {
    needsInit = 0;
    program_ = std::make_unique<ShaderProgram>(gDevice);
    if (!loadComputeProgram(*program_, sphere_ ? "particles/sphereEmitter" : "particles/boxEmitter", "main"))
      program_.reset();
  }
  // Inputs of the two shapes, by position: the sphere has one shape parameter, the box three.
  const size_t shapeCount = sphere_ ? 1 : 3;
  const size_t lifetimeIn = shapeCount, speedIn = shapeCount + 1, loopIn = shapeCount + 2, rateIn = shapeCount + 3;

  const bool loop = params_.read(sources, loopIn, t, ctx) > 0.5f;
  if (scope.reset) {
    clock_.reset();
    return;
  }
  if (!clock_.mayEmit(loop)) return;
  const int32_t rate = truncToInt32(params_.read(sources, rateIn, t, ctx));
  if (rate == 0) return;
  const uint32_t count = clock_.take(t, rate);
  // From here on the evaluation counts as an emission, whatever the count: without "Loop" the
  // emitter waits for the next reset.
  clock_.markEmitted();

  float shape[3];
  for (size_t i = 0; i < shapeCount; ++i)
    shape[i] = clampFinite(params_.read(sources, i, t, ctx), 0.0f, kMaxEmitterSize, 1.0f);
  const float lifetime = clampFinite(params_.read(sources, lifetimeIn, t, ctx), 0.0f, kMaxLifetime, 5.0f);
  const float speed = clampMagnitude(params_.read(sources, speedIn, t, ctx), kMaxSpeed);
  lastCount = count;
  if (!program_) return;
  // Dispatched even when nothing is due: the program does nothing then, and its first
  // dispatch (which makes its pipeline) happens while the production loads.

  if (ConstantWriter cb(program_.get(), "particle emitter", nullptr, 0, MapFailure::Skip); cb.mapped()) {
    cb.set("gTime", float(wallClockTime));
    if (sphere_) {
      cb.set("gRadius", shape[0]);
    } else {
      const Float3 size{shape[0], shape[1], shape[2]};
      cb.set("gSize", size);
    }
    cb.set("gMaxLifeTime", lifetime);
    cb.set("gSpeed", speed);
    cb.set("gSpawnCount", int32_t(count));
    cb.matrix("gWorld", ctx.world.m);
  }
  program_->setUav(0, scope.buffer);
  dispatch(program_.get(), kParticleGroups, 1);
}

// ---- curl noise ------------------------------------------------------------------------------

CurlNoiseOp::CurlNoiseOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addOutput("SceneOut", PortType::Scene, std::make_unique<CurlNoiseFunction>());
  linkOutput();
}

CurlNoiseOp::CurlNoiseFunction::CurlNoiseFunction() : params_(tableDefaults(kParams).data(), In::Count) {}
CurlNoiseOp::CurlNoiseFunction::~CurlNoiseFunction() = default;

void CurlNoiseOp::CurlNoiseFunction::evaluate(float t, const std::vector<Port*>& sources, Context& ctx) {
  const ParticleScope& scope = particleScope();
  if (!scope.buffer) return;
  if (needsInit) {
    needsInit = 0;
    program_ = std::make_unique<ShaderProgram>(gDevice);
    if (!loadComputeProgram(*program_, "particles/curlNoise", "main")) program_.reset();
  }
  const float turbulence = clampMagnitude(params_.read(sources, Turbulence, t, ctx), kMaxAcceleration);
  const float noiseScale = clampMagnitude(params_.read(sources, NoiseScale, t, ctx), kMaxCoordinate);
  const float scale = clampMagnitude(params_.read(sources, Scale, t, ctx), 1000.0f);
  if (!program_) return;
  if (ConstantWriter cb(program_.get(), "particles/curlNoise", nullptr, 0, MapFailure::Skip); cb.mapped()) {
    cb.set("gTurbulence", turbulence);
    cb.set("gNoiseScale", noiseScale);
    cb.set("gScale", scale);
    cb.set("gTime", float(wallClockTime));
    // The real-time delta as the clock gives it (never negative; 1/60 s a frame when dumping).
    // Only a value that is not a finite number is kept out; the program bounds the speed.
    cb.set("gDelta", finiteOr(float(wallClockDelta), 0.0f));
  }
  program_->setUav(0, scope.buffer);
  dispatch(program_.get(), kParticleGroups, 1);
}

// ---- sprites ---------------------------------------------------------------------------------

ParticleRendererOp::ParticleRendererOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addColorGroup("Color", ColorR, 4);
  addOutput("SceneOut", PortType::Scene, std::make_unique<ParticleRendererFunction>());
  linkOutput();
}

ParticleRendererOp::ParticleRendererFunction::ParticleRendererFunction()
    : params_(tableDefaults(kParams).data(), In::Count) {}
ParticleRendererOp::ParticleRendererFunction::~ParticleRendererFunction() = default;

void ParticleRendererOp::ParticleRendererFunction::evaluate(float t, const std::vector<Port*>& sources,
                                                            Context& ctx) {
  const ParticleScope& scope = particleScope();
  if (!scope.buffer) return;
  // Compared where it lies and copied only when it changed: no allocation per frame.
  const std::string& path = evalText(sources, ShaderPath, t, ctx);
  if (path != loadedPath_) {
    loadedPath_ = path;
    failedPath_ = !loadProgramFromFile(loadedPath_.c_str(), spriteEntries(), program_);
    if (failedPath_) logMessage("Particle renderer: could not load shader file %s\n", loadedPath_.c_str());
    else if (gDevice) program_->state = gDevice->stateFor(spriteGBufferState());
    if (!failedPath_) checkObjectConstants(program_.get(), loadedPath_.c_str(), ObjectBlockUse::Whole);
  }
  SpriteDraw d;
  d.colour = {params_.read(sources, ColorR, t, ctx), params_.read(sources, ColorG, t, ctx),
              params_.read(sources, ColorB, t, ctx), params_.read(sources, ColorA, t, ctx)};
  d.size = clampMagnitude(params_.read(sources, Size, t, ctx), kMaxCoordinate);
  const bool writeDepth = params_.read(sources, WriteDepth, t, ctx) > 0.5f;
  d.texture = evaluateImage(sources, SpriteTexture, t, ctx);
  if (!d.texture) d.texture = defaultSpriteTexture(ctx);
  if (!program_ || failedPath_ || !d.texture) return;
  d.program = program_.get();
  d.particles = scope.buffer;
  d.vertexCount = kParticleCount;
  d.time = t;
  drawSprites(d, ctx, writeDepth);
}

// ---- smoke -----------------------------------------------------------------------------------

Float3 smokeSortAxis(Float3 viewForward, Float3 lightDirection) {
  const Float3 v = normalize(viewForward), l = normalize(lightDirection);
  const Float3 h = l - v;
  if (length(h) < 1e-3f) return -v;
  return normalize(h);
}

Float4x4 smokeLightViewProj(Float3 lightDirection, Float3 centre) {
  Float3 forward = normalize(lightDirection);
  if (length(forward) < 0.5f) forward = {0.0f, -1.0f, 0.0f};
  const Float3 helper = std::fabs(forward.y) > 0.9f ? Float3{1.0f, 0.0f, 0.0f} : Float3{0.0f, 1.0f, 0.0f};
  const Float3 right = normalize(cross(helper, forward));
  const Float3 up = cross(forward, right);
  const float depth = 10.0f * kSmokeLightExtent;
  Float4x4 lightToWorld;
  lightToWorld.setRow(0, right, 0.0f);
  lightToWorld.setRow(1, up, 0.0f);
  lightToWorld.setRow(2, forward, 0.0f);
  lightToWorld.setRow(3, centre - forward * (0.5f * depth), 1.0f);
  return mat::rigidInverse(lightToWorld) * mat::orthographic(kSmokeLightExtent, kSmokeLightExtent, 0.0f, depth);
}

RenderStateDesc smokeOpacityState() {
  RenderStateDesc s = RenderStateDesc::zeroed();
  s.flags = kCullBack;
  s.depthFunc = D3D11_COMPARISON_LESS_EQUAL;
  s.colourBlend[0] = blendWord(D3D11_BLEND_SRC_ALPHA, D3D11_BLEND_INV_SRC_ALPHA, D3D11_BLEND_OP_ADD);
  s.stencilReadMask = 0xFF;
  s.stencilWriteMask = 0xFF;
  return s;
}

RenderStateDesc smokeGBufferState() {
  // The albedo and emissive targets blend "over" with the alpha the sprite program writes for
  // each; the normal, material and velocity targets, which the smoke leaves as they were, are
  // not written at all (blending alpha 0 into them kept them too, at the cost of reading and
  // writing three targets for every pixel of every sprite).
  RenderStateDesc s = RenderStateDesc::zeroed();
  s.flags = kCullBack | kIndependentBlend;
  s.depthFunc = D3D11_COMPARISON_LESS_EQUAL;
  const uint16_t over = blendWord(D3D11_BLEND_SRC_ALPHA, D3D11_BLEND_INV_SRC_ALPHA, D3D11_BLEND_OP_ADD);
  s.colourBlend[kSmokeAlbedoTarget] = over;
  s.colourBlend[kSmokeEmissiveTarget] = over;
  for (uint32_t t = 0; t < 5; ++t)
    if (t != kSmokeAlbedoTarget && t != kSmokeEmissiveTarget) s.disabledChannels[t] = 15;
  return s;
}

SmokeLight smokeLight(const Context&) {
  SmokeLight light;
  light.direction = normalize(light.direction);
  // The first enabled directional light of the scene drawn so far (a light operator adds its
  // record before it draws the scene beneath it). Its record points towards the light.
  for (const DirLightRecord& d : dirLights()) {
    const Float3 towards{d.direction.x, d.direction.y, d.direction.z};
    if (!d.enabled || !(length(towards) > 1e-6f)) continue;
    light.direction = normalize(-towards);
    light.colour = {clampFinite(d.colour.x, 0.0f, 1e4f, 1.0f), clampFinite(d.colour.y, 0.0f, 1e4f, 1.0f),
                    clampFinite(d.colour.z, 0.0f, 1e4f, 1.0f), 1.0f};
    break;
  }
  return light;
}

SmokeRendererOp::SmokeRendererOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addColorGroup("Color", ColorR, 4);
  addOutput("SceneOut", PortType::Scene, std::make_unique<SmokeRendererFunction>());
  linkOutput();
}

SmokeRendererOp::SmokeRendererFunction::SmokeRendererFunction()
    : params_(tableDefaults(kParams).data(), In::Count) {}

SmokeRendererOp::SmokeRendererFunction::~SmokeRendererFunction() {
  deleteTexture(sortBuffer_);
  deleteTexture(scratch_);
  deleteTexture(opacity_);
  deleteTexture(end_);
  deleteTexture(endReadBack_);
}

bool SmokeRendererOp::SmokeRendererFunction::init() {
  if (initDone_) return sprites_ && opacityProgram_ && sorter_;
  initDone_ = true;
  if (!gDevice) return false;
  sortBuffer_ = createStructuredBuffer(kParticleCount, kParticleBytes);
  scratch_ = createStructuredBuffer(kParticleCount, kParticleBytes);
  TextureDesc desc;
  desc.flags = kTextureFlag | kUsageDefault | kBindRenderTarget | kBindShaderResource;
  desc.format = format::RGBA8;
  desc.width = 2048;
  desc.height = 2048;
  opacity_ = createTexture(gDevice, desc, nullptr);
  sorter_ = std::make_unique<BitonicSorter>();
  if (!sorter_->load("particles/bitonicSort")) sorter_.reset();
  sprites_ = std::make_unique<ShaderProgram>(gDevice);
  if (!loadProgramAuto("particles/pointspritesOpacity", spriteEntries(), sprites_.get())) sprites_.reset();
  opacityProgram_ = std::make_unique<ShaderProgram>(gDevice);
  if (!loadProgramAuto("particles/opacity", spriteEntries(), opacityProgram_.get())) opacityProgram_.reset();
  // Without the count every slice is drawn, as it would be with every particle alive.
  end_ = createStructuredBuffer(1, 4);
  TextureDesc readBack;
  readBack.flags = kUsageStaging;
  readBack.bitsPerPixel = 32;
  readBack.width = 1;
  endReadBack_ = end_ ? createTexture(gDevice, readBack, nullptr) : nullptr;
  endProgram_ = std::make_unique<ShaderProgram>(gDevice);
  if (!loadComputeProgram(*endProgram_, "particles/livingCount", "main")) endProgram_.reset();
  if (sprites_) sprites_->state = gDevice->stateFor(smokeGBufferState());
  if (opacityProgram_) opacityProgram_->state = gDevice->stateFor(smokeOpacityState());
  return sprites_ && opacityProgram_ && sorter_ && sortBuffer_ && scratch_ && opacity_;
}

uint32_t SmokeRendererOp::SmokeRendererFunction::sortedEnd(DeviceContext* dc) {
  // A GPU would stall on the read-back below and gains little from the slices it saves, which
  // cost it two cheap passes each: it draws them all.
  if (!gDevice->cpuDriver()) return kParticleCount;
  if (!endProgram_ || !end_ || !endReadBack_) return kParticleCount;
  endProgram_->setResource(5, 0, sortBuffer_);
  endProgram_->setUav(0, end_);
  dispatch(endProgram_.get(), 1, 1);
  dc->copyResource(endReadBack_, end_);
  // Reading it waits for the device to finish the frame's work so far: on a CPU driver a slice
  // of dead particles costs more (two passes with their barriers) than the wait.
  MappedSubresource m;
  if (!dc->map(endReadBack_, 0, D3D11_MAP_READ, m)) return kParticleCount;
  uint32_t end = kParticleCount;
  std::memcpy(&end, m.data, sizeof(end));
  dc->unmap(endReadBack_, 0);
  return std::min(end, kParticleCount);
}

void SmokeRendererOp::SmokeRendererFunction::evaluate(float t, const std::vector<Port*>& sources, Context& ctx) {
  const ParticleScope& scope = particleScope();
  if (!scope.buffer) return;
  const bool ready = init();
  const Float4 colour{params_.read(sources, ColorR, t, ctx), params_.read(sources, ColorG, t, ctx),
                      params_.read(sources, ColorB, t, ctx), params_.read(sources, ColorA, t, ctx)};
  const float size = clampMagnitude(params_.read(sources, ParticleSize, t, ctx), kMaxCoordinate);
  Texture* texture = evaluateImage(sources, SpriteTexture, t, ctx);
  if (!texture) texture = defaultSpriteTexture(ctx);
  if (!ready || !ctx.scenePass || !texture) return;

  // The sort works on a copy: the system's own buffer keeps its order.
  DeviceContext* dc = gDevice->context();
  dc->copyResource(sortBuffer_, scope.buffer);
  const SmokeLight light = smokeLight(ctx);
  const Float3 viewForward = ctx.camera.row3(2);
  // Particles are drawn through the Context world, so the axis is taken into their space.
  const Float3 worldAxis = smokeSortAxis(viewForward, light.direction);
  const Float4x4& w = ctx.world;
  Float3 axis{w.at(0, 0) * worldAxis.x + w.at(0, 1) * worldAxis.y + w.at(0, 2) * worldAxis.z,
              w.at(1, 0) * worldAxis.x + w.at(1, 1) * worldAxis.y + w.at(1, 2) * worldAxis.z,
              w.at(2, 0) * worldAxis.x + w.at(2, 1) * worldAxis.y + w.at(2, 2) * worldAxis.z};
  lastAxis = {axis.x, axis.y, axis.z, 0.0f};
  {
    // The sorted copy serves this drawing alone: a sketched drawing needs no real sort.
    PictureDispatchScope forThePicture(dc);
    sorter_->run(sortBuffer_, scratch_, kParticleCount, &lastAxis);
  }

  const float clear[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  clearTexture(gDevice, opacity_, clear);

  const Float4x4 lightViewProj = ctx.world * smokeLightViewProj(light.direction, ctx.world.row3(3));
  for (ShaderProgram* p : {sprites_.get(), opacityProgram_.get()}) {
    ConstantWriter cb(p, "smoke", nullptr, 0, MapFailure::Skip);
    if (!cb.mapped()) continue;
    setWorldAndProjection(cb, ctx);
    cb.matrix("gLightViewProj", lightViewProj.m);
    cb.set("gColor", colour);
    cb.set("gLightColor", light.colour);
    cb.set("gSize", size);
    cb.set("gLightScale", 2.0f / kSmokeLightExtent);
  }
  sprites_->setResource(0, 1, sortBuffer_);
  sprites_->setResource(4, 0, texture);
  // The opacity map is read once per particle, by the vertex stage.
  sprites_->setResource(0, 2, opacity_);
  Sampler* trilinear = gDevice->samplerFor(SamplerDesc::forMode(7));
  Sampler* clamped = gDevice->samplerFor(SamplerDesc::forMode(samplerMode(7, 1, 1, 1)));
  sprites_->setSampler(4, 0, trilinear);
  sprites_->setSampler(0, 1, clamped);
  opacityProgram_->setResource(0, 1, sortBuffer_);
  opacityProgram_->setResource(4, 0, texture);
  opacityProgram_->setSampler(4, 0, trilinear);

  // The Context's G-buffer pass as it is (nothing cleared). The smoke neither tests nor writes
  // depth: it lies over whatever the scene drew before it.
  RenderPass scene = *ctx.scenePass;
  scene.clearFlags = 0;
  RenderPass opacityPass;
  opacityPass.colourTargets[0] = opacity_;
  opacityPass.rect[2] = int32_t(opacity_->width());
  opacityPass.rect[3] = int32_t(opacity_->height());
  opacityPass.width = opacity_->width();
  opacityPass.height = opacity_->height();

  // The warm-up while loading, sketched or not, draws every slice: nothing may be alive yet,
  // and the programs' pipelines are to be made now, not in the first frame with smoke.
  // The count is made then too, for its program's pipeline.
  const uint32_t living = sortedEnd(dc);
  const bool everySlice = drawEverySlice || isLoading || sketchDraws(dc);
  const uint32_t end = everySlice ? kParticleCount : living;
  lastSlices = (end + kSmokeSlice - 1) / kSmokeSlice;
  for (uint32_t first = 0; first < end; first += kSmokeSlice) {
    for (int which = 0; which < 2; ++which) {
      ShaderProgram* p = which == 0 ? sprites_.get() : opacityProgram_.get();
      bindRenderPass(gDevice, which == 0 ? scene : opacityPass);
      if (ConstantWriter slice(p, "smoke slice", nullptr, 1, MapFailure::Skip); slice.mapped()) {
        slice.set("gOffset", first);
      }
      bindProgram(p);
      dc->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_POINTLIST);
      dc->setInputLayout(nullptr);
      dc->draw(kSmokeSlice, 0);
      unbindResources(p);
      unbindRenderTargets(gDevice);
    }
  }
}

}  // namespace sim
