#pragma once
// "SSFluids": the picture pushed around by a screen-space fluid. A stable-fluids solver on
// a 512 x 512 periodic grid over the viewport is stirred by the scene's motion (the
// velocity tiles of the G-buffer set, which the lighting pass builds) and the picture is
// drawn displaced along the fluid's velocity, so it flows where the scene moves and
// swirls on after it. A still scene leaves the fluid, and so the picture, unchanged.
//
// The solver lives in the post-process manager's SSFluids block (one per process, like the
// other passes); its steps and buffers are described in data/shaders/ssFluids.hlsl.
// Parameters: "Influence" how strongly moving parts of the scene set the fluid's velocity
// (per step; 1 takes the scene's velocity outright), "Force" a factor on that velocity,
// "Viscosity" how fast small eddies smooth out, "Steps Per Second" the solver's rate (each
// frame runs as many fixed steps as the time since the last frame holds, at most 8).
// "MaskIn", when connected, limits where the scene stirs the fluid (its luminance).
#include <cstdint>
#include <iterator>
#include <memory>

#include "engine/Context.h"
#include "engine/Operator.h"

class Device;
class ShaderProgram;
class Texture;
struct SSFluidsBlock;

class FluidSolver {
 public:
  static constexpr uint32_t kDim = 512;
  static constexpr uint32_t kDimLog2 = 9;
  static constexpr uint32_t kMaxStepsPerFrame = 8;
  static constexpr float kDissipation = 1.5f;     // per second: a stirred fluid calms down
  static constexpr float kDisplacement = 0.1f;    // seconds of flow the picture is displaced by

  // Loads the programs (a failed one leaves the solver unable to run; apply then copies).
  explicit FluidSolver(Device* device);
  ~FluidSolver();
  FluidSolver(const FluidSolver&) = delete;
  FluidSolver& operator=(const FluidSolver&) = delete;

  // Steps due at production time t at the given rate: none when time has not advanced
  // (or ran backwards), one on the very first call, else the whole steps the elapsed time
  // holds (at most 0.25 s of it, and at most kMaxStepsPerFrame; leftovers carry over).
  uint32_t stepsDue(float t, float stepsPerSecond);

  // Runs the due steps with the block's parameters, then draws source displaced by the
  // fluid into destination over the viewport. Buffers are made on first use.
  void apply(const SSFluidsBlock& block, Texture* velocityTiles, Texture* mask, Texture* source,
             Texture* destination, const Viewport& vp, float t);
  // One solver step of dt seconds (the programs' constants must be set).
  void step();

  bool ready() const;

  std::unique_ptr<ShaderProgram> fftForwardRows, fftForwardColumns;   // "fft", CSFFTR2C
  std::unique_ptr<ShaderProgram> fftInverseColumns, fftInverseRows;   // "fft", CSFFTC2R
  std::unique_ptr<ShaderProgram> addForces, advectVelocity, diffuseProject, updateVelocity;  // "ssFluids"
  std::unique_ptr<ShaderProgram> applyVelocity;  // "ssFluids", VS / PSApplyVelocity
  Texture* velocity = nullptr;  // buffer 1: float2 per cell
  Texture* spectrum = nullptr;  // buffer 2: float4 per cell
  Texture* scratch = nullptr;   // buffer 3: float4 per cell
  uint64_t stepsRun = 0;

 private:
  void setConstants(const SSFluidsBlock& block, Texture* source, Texture* mask, const Viewport& vp, float dt);
  Device* device_ = nullptr;
  Texture* tiles_ = nullptr;
  Texture* mask_ = nullptr;
  bool started_ = false;
  float lastTime_ = 0.0f;
  float pending_ = 0.0f;
};

class SSFluidsOp : public Operator {
 public:
  enum In : uint32_t { ImageIn, MaskIn, Influence, Force, Viscosity, StepsPerSecond, Count };
  static constexpr ParamDecl kParams[] = {
      param::image("ImageIn"),
      param::image("MaskIn"),
      param::number("Influence", 1.0f),
      param::number("Force", 1.0f),
      param::number("Viscosity", 0.25f),
      param::number("Steps Per Second", 250.0f),
  };
  static_assert(std::size(kParams) == Count);

  SSFluidsOp();
  class SSFluidsFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};
