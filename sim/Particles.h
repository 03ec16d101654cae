#pragma once
// GPU particle systems: "ParticleSystem" owns a buffer of 32,768 particles and, each time it
// is evaluated, lets its emitters spawn, its affectors push, its own update program advance,
// and its renderers draw. Emitters, affectors and renderers find the buffer through the
// particle scope set while the system evaluates them and do nothing outside a system.
//
// The particle record and everything the programs compute belong to data/shaders/particles
// (see docs/simulation.md); the CPU only sets constants and dispatches.
#include <cstdint>
#include <memory>
#include <string>

#include "engine/Operator.h"
#include "engine/Params.h"
#include "gfx/ShaderProgram.h"
#include "sim/SimCommon.h"

class DeviceContext;
class Texture;

namespace sim {

constexpr uint32_t kParticleCount = 32768;
constexpr uint32_t kParticleBytes = 32;
constexpr uint32_t kParticleGroups = kParticleCount / 1024;

// The particle system being evaluated: its buffer and whether it is resetting. Empty
// outside a system. A system saves and restores it, so a system nested in another one's
// renderer input does not leave the outer one without its buffer.
struct ParticleScope {
  Texture* buffer = nullptr;
  bool reset = false;
};
ParticleScope& particleScope();

// The emission clock of one emitter: how many particles an evaluation emits. Carried between
// evaluations: whether it may emit, the time of its last emission and the fraction of a
// particle not yet emitted.
class EmissionClock {
 public:
  // After a reset of the system: may emit again, nothing carried.
  void reset() {
    emitted_ = false;
    remainder_ = 0.0f;
  }
  // Whether an emitter with loop off may still emit (it emits once per reset).
  bool mayEmit(bool loop) const { return loop || !emitted_; }
  // The particles due at time t for `rate` per second (negative: the whole buffer). The
  // elapsed time since the last emission counts up to 0.5 s; the fraction of a particle
  // that does not make a whole one is carried to the next evaluation, so a rate of n per
  // second emits n a second whatever the frame rate. Remembers t.
  uint32_t take(float t, int32_t rate);
  // Records an emission, whatever its count (a loop-off emitter then waits for the next reset).
  void markEmitted() { emitted_ = true; }
  float remainder() const { return remainder_; }

 private:
  bool emitted_ = false;
  float lastTime_ = 0.0f;
  float remainder_ = 0.0f;  // in particles
};

// The step of a particle system update: production seconds since its previous update,
// 0.1 at most and 0 when time did not advance.
float particleStep(float t, float previous);

class ParticleSysOp : public Operator {
 public:
  enum In : uint32_t { Emitter, Affector, Renderer, Reset, GravityX, GravityY, GravityZ, TimeScale, PlaneHeight, Count };
  static constexpr ParamDecl kParams[] = {
      param::scene("Emitter"),          param::scene("Affector"),
      param::scene("Renderer"),         param::boolean("Reset", false),
      param::number("Gravity.X", 1.0f), param::number("Gravity.Y", 0.0f),
      param::number("Gravity.Z", 0.0f), param::number("TimeScale", 1.0f),
      param::number("PlaneHeight", 0.0f),
  };
  static_assert(std::size(kParams) == In::Count);

  ParticleSysOp();

  class ParticleSysFunction : public Function {
   public:
    ParticleSysFunction();
    ~ParticleSysFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    Texture* buffer() const { return buffer_; }
    float lastStep = 0.0f;  // the Δt of the latest update, for tests

   private:
    Texture* buffer_ = nullptr;
    std::unique_ptr<ShaderProgram> update_;
    float lastTime_ = 0.0f;
    ParamReader params_;
  };
};

// Sphere and box emitters share everything but their shape parameters.
class SphereEmitterOp : public Operator {
 public:
  enum In : uint32_t { Radius, MaxLifetime, Speed, Loop, SpawnRate, Count };
  static constexpr ParamDecl kParams[] = {
      param::number("Radius", 2.0f), param::number("MaxLifetime", 5.0f), param::number("Speed", 5.0f),
      param::boolean("Loop", true),  param::integer("SpawnRate", -1.0f),
  };
  static_assert(std::size(kParams) == In::Count);
  SphereEmitterOp();
};

class BoxEmitterOp : public Operator {
 public:
  enum In : uint32_t { SizeX, SizeY, SizeZ, MaxLifetime, Speed, Loop, SpawnRate, Count };
  static constexpr ParamDecl kParams[] = {
      param::number("SizeX", 1.0f),       param::number("SizeY", 1.0f), param::number("SizeZ", 1.0f),
      param::number("MaxLifetime", 5.0f), param::number("Speed", 5.0f), param::boolean("Loop", true),
      param::integer("SpawnRate", -1.0f),
  };
  static_assert(std::size(kParams) == In::Count);
  BoxEmitterOp();
};

// The function of both emitters; `sphere` picks the shape.
class EmitterFunction : public Function {
 public:
  EmitterFunction(bool sphere, const std::vector<float>& defaults);
  ~EmitterFunction() override;
  void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  const EmissionClock& clock() const { return clock_; }
  uint32_t lastCount = 0;  // particles asked for by the latest dispatch, for tests

 private:
  bool sphere_;
  EmissionClock clock_;
  std::unique_ptr<ShaderProgram> program_;
  ParamReader params_;
};

class CurlNoiseOp : public Operator {
 public:
  enum In : uint32_t { Turbulence, NoiseScale, Scale, Count };
  static constexpr ParamDecl kParams[] = {
      param::number("Turbulence", 1.0f), param::number("NoiseScale", 10.0f), param::number("Scale", 0.1f),
  };
  static_assert(std::size(kParams) == In::Count);
  CurlNoiseOp();

  class CurlNoiseFunction : public Function {
   public:
    CurlNoiseFunction();
    ~CurlNoiseFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;

   private:
    std::unique_ptr<ShaderProgram> program_;
    ParamReader params_;
  };
};

class ParticleRendererOp : public Operator {
 public:
  enum In : uint32_t { ShaderPath, ColorR, ColorG, ColorB, ColorA, Size, WriteDepth, SpriteTexture, Count };
  static constexpr ParamDecl kParams[] = {
      param::text("ShaderPath", "data\\shaders\\particles\\pointsprites.hlsl"),
      param::number("Color.R", 1.0f),
      param::number("Color.G", 1.0f),
      param::number("Color.B", 1.0f),
      param::number("Color.A", 1.0f),
      param::number("Size", 0.3f),
      param::boolean("WriteDepth", true),
      param::image("Texture"),
  };
  static_assert(std::size(kParams) == In::Count);
  ParticleRendererOp();

  class ParticleRendererFunction : public Function {
   public:
    ParticleRendererFunction();
    ~ParticleRendererFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;

   private:
    std::unique_ptr<ShaderProgram> program_;
    std::string loadedPath_;
    bool failedPath_ = false;
    ParamReader params_;
  };
};

class SmokeRendererOp : public Operator {
 public:
  enum In : uint32_t { ColorR, ColorG, ColorB, ColorA, ParticleSize, SpriteTexture, Count };
  static constexpr ParamDecl kParams[] = {
      param::number("Color.R", 1.0f),       param::number("Color.G", 1.0f), param::number("Color.B", 1.0f),
      param::number("Color.A", 1.0f),       param::number("ParticleSize", 0.01f),
      param::image("Texture"),
  };
  static_assert(std::size(kParams) == In::Count);
  SmokeRendererOp();

  class SmokeRendererFunction : public Function {
   public:
    SmokeRendererFunction();
    ~SmokeRendererFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;

    Texture* sortBuffer() const { return sortBuffer_; }
    Texture* opacityMap() const { return opacity_; }
    Float4 lastAxis;  // the sort axis of the latest evaluation, for tests
    // The G-buffer sprite program, loaded by the first evaluation; tests put others in its
    // place.
    std::unique_ptr<ShaderProgram>& spriteProgram() { return sprites_; }
    std::unique_ptr<ShaderProgram>& opacityProgram() { return opacityProgram_; }
    // Slices drawn by the latest evaluation: those up to the last living sorted particle
    // (every slice with drawEverySlice, for tests).
    uint32_t lastSlices = 0;
    bool drawEverySlice = false;

   private:
    bool init();
    // One past the last living particle of the sorted copy, read back from the device.
    uint32_t sortedEnd(DeviceContext* dc);
    Texture* sortBuffer_ = nullptr;
    Texture* scratch_ = nullptr;
    Texture* opacity_ = nullptr;
    Texture* end_ = nullptr;          // sortedEnd's number, on the device
    Texture* endReadBack_ = nullptr;  // and where the CPU reads it
    std::unique_ptr<BitonicSorter> sorter_;
    std::unique_ptr<ShaderProgram> sprites_, opacityProgram_, endProgram_;
    bool initDone_ = false;
    ParamReader params_;
  };
};

// The smoke renderer's sort axis: the half-angle between the direction the light travels and
// the direction towards the viewer. Sorting ascending along it draws every slice after the
// slices behind it (as seen by the camera) and after the slices nearer the light, so the
// "over" blend and the opacity map accumulate in the right order. Falls back to the view
// axis reversed when light and view coincide.
Float3 smokeSortAxis(Float3 viewForward, Float3 lightDirection);

// The smoke is drawn in slices of this many sorted particles, each into the G-buffer and then
// into the opacity map; slices past the last living particle are not drawn.
constexpr uint32_t kSmokeSlice = 1024;
// Smoke into the opacity map: no culling, no depth, "over" blending (source alpha, inverse
// source alpha) on target 0, which accumulates opacity as 1 - product of transmittances.
RenderStateDesc smokeOpacityState();
// Smoke into the G-buffer: back faces culled, no depth test or write, the "over" blend on the
// albedo and emissive targets (alpha channels add), whose alpha the program picks; the other
// targets are not written.
constexpr uint32_t kSmokeAlbedoTarget = 0;
constexpr uint32_t kSmokeEmissiveTarget = 3;
RenderStateDesc smokeGBufferState();

// The light that shades and shadows the smoke: the direction its light travels and its colour,
// from the scene's first directional light, else a default light from above.
struct SmokeLight {
  Float3 direction{0.4f, -1.0f, 0.3f};
  Float4 colour{1.0f, 1.0f, 1.0f, 1.0f};
};
SmokeLight smokeLight(const Context& ctx);

// Orthographic light view-projection of the smoke's opacity map: a square of
// kSmokeLightExtent world units around `centre`, looking along lightDirection.
constexpr float kSmokeLightExtent = 40.0f;
Float4x4 smokeLightViewProj(Float3 lightDirection, Float3 centre);

}  // namespace sim
