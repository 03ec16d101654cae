#pragma once
// SPH fluid: 65,536 particles simulated on the GPU with a voxel-grid neighbour search, and
// the "SPH" operator that steps and draws it.
//
// One step (FluidSimulation::step) runs, all in compute: hash every particle to its voxel,
// sort the (voxel, index) keys by counting (which gives each voxel's range too), copy the
// particles into voxel order, then density, acceleration and integration over the neighbours
// in the 27 voxels around each particle. The physics and the record layouts live in
// data/shaders/sph (see docs/simulation.md); the CPU only dispatches.
#include <cstdint>
#include <memory>
#include <string>

#include "engine/Operator.h"
#include "engine/Params.h"
#include "gfx/ShaderProgram.h"
#include "sim/SimCommon.h"

class Texture;

namespace sim {

// The voxel grid of a fluid: four particles per voxel. The player's fluid is always the full
// one (65,536 particles, 32 x 16 x 32 voxels); tests build smaller ones with the same physics
// (the shaders are then compiled with the grid defined in front).
struct FluidSize {
  uint32_t gridX = 32, gridY = 16, gridZ = 32;
  uint32_t voxels() const { return gridX * gridY * gridZ; }
  uint32_t particles() const { return 4 * voxels(); }
  bool isFull() const { return gridX == 32 && gridY == 16 && gridZ == 32; }
};

class FluidSimulation {
 public:
  static constexpr uint32_t kParticles = 65536;  // of the full fluid
  static constexpr uint32_t kParticleBytes = 32;
  static constexpr uint32_t kKeyBytes = 8;
  static constexpr uint32_t kNeighbourRecord = 29;  // uints of a particle's neighbour masks (NEIGHBOUR_RECORD)

  explicit FluidSimulation(const FluidSize& size = {}) : size_(size) {}
  ~FluidSimulation();
  FluidSimulation(const FluidSimulation&) = delete;
  FluidSimulation& operator=(const FluidSimulation&) = delete;

  // Loads the programs and creates the buffers, then resets. False (logged) when a program
  // fails to load or there is no device; the simulation then does nothing.
  bool init();
  bool ready() const { return ready_; }
  // Every particle back to the starting block, at rest.
  void reset();
  // One simulation step (its length is fixed by the shaders).
  void step();

  const FluidSize& size() const { return size_; }
  Texture* particles() const { return particles_; }
  Texture* sortedParticles() const { return sorted_; }
  Texture* keys() const { return keys_; }
  Texture* voxelStart() const { return voxelStart_; }
  Texture* voxelEnd() const { return voxelEnd_; }
  Texture* density() const { return density_; }
  Texture* acceleration() const { return acceleration_; }

  // The parts of a step, for tests of each.
  void hashParticles();
  void sortKeys();         // and each voxel's range of the sorted keys
  void gatherParticles();  // the particles in key order
  void computeForces();     // density, acceleration
  void computeDensity();
  void computeAcceleration();
  void integrate();

 private:
  bool load(std::unique_ptr<ShaderProgram>& slot, const char* name, const char* entry);
  std::string defines() const;

  FluidSize size_;
  uint32_t groups_ = 64;       // per-particle passes: 1024 particles a group
  uint32_t voxelGroups_ = 16;  // per-voxel passes
  bool ready_ = false;
  Texture* particles_ = nullptr;
  Texture* sorted_ = nullptr;
  Texture* density_ = nullptr;
  Texture* pressureTerm_ = nullptr;  // pressure / density^2 of each sorted particle
  Texture* neighbours_ = nullptr;    // each sorted particle's neighbour list, density to acceleration
  Texture* acceleration_ = nullptr;
  Texture* keys_ = nullptr;
  Texture* keyScratch_ = nullptr;
  Texture* voxelStart_ = nullptr;
  Texture* voxelEnd_ = nullptr;
  std::unique_ptr<ShaderProgram> hash_, reset_, postPass_, clearCounts_, countVoxels_, scanCounts_, scatterKeys_,
      orderInVoxels_, densityPass_, accelerationPass_, integrate_;
};

// "SPH": steps the fluid once per evaluation (or restarts it while "Reset" is held) and draws
// the particles as sprites into the scene's G-buffer.
class SPHOp : public Operator {
 public:
  enum In : uint32_t { ParticleSize, EmissiveR, EmissiveG, EmissiveB, Reset, Count };
  static constexpr ParamDecl kParams[] = {
      param::number("ParticleSize", 0.01f), param::number("Emissive.R", 1.0f),
      param::number("Emissive.G", 1.0f),    param::number("Emissive.B", 1.0f),
      param::boolean("Reset", false),
  };
  static_assert(std::size(kParams) == In::Count);

  SPHOp();

  class SPHFunction : public Function {
   public:
    SPHFunction();
    ~SPHFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;

    FluidSimulation* simulation() const { return sim_.get(); }
    uint64_t steps = 0;  // steps taken, for tests

   private:
    void draw(float t, const std::vector<Port*>& sources, Context& ctx);
    std::unique_ptr<FluidSimulation> sim_;
    std::unique_ptr<ShaderProgram> sprites_;
    ParamReader params_;
  };
};

}  // namespace sim
