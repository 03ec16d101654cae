#include "sim/Fluid.h"

#include "gfx/DeviceContext.h"
#include "gfx/Texture.h"
#include "scene/GBufferRenderer.h"
#include "sim/SimDraw.h"

namespace sim {

FluidSimulation::~FluidSimulation() {
  for (Texture* t : {particles_, sorted_, density_, pressureTerm_, neighbours_, acceleration_, keys_, keyScratch_,
                     voxelStart_, voxelEnd_})
    deleteTexture(t);
}

std::string FluidSimulation::defines() const {
  if (size_.isFull()) return {};
  return "#define GRID_X " + std::to_string(size_.gridX) + "\n#define GRID_Y " + std::to_string(size_.gridY) +
         "\n#define GRID_Z " + std::to_string(size_.gridZ) + "\n";
}

bool FluidSimulation::load(std::unique_ptr<ShaderProgram>& slot, const char* name, const char* entry) {
  slot = std::make_unique<ShaderProgram>(gDevice);
  return loadComputeProgram(*slot, name, entry, defines());
}

bool FluidSimulation::init() {
  if (ready_) return true;
  if (!gDevice) return false;
  const uint32_t particles = size_.particles(), voxels = size_.voxels();
  if (particles % 1024 != 0 || voxels % 1024 != 0) return false;
  groups_ = particles / 1024;
  voxelGroups_ = voxels / 1024;
  auto program = [this](std::unique_ptr<ShaderProgram>& slot, const char* name, const char* entry) {
    return load(slot, name, entry);
  };
  bool ok = program(hash_, "sph/hashParticles", "main");
  ok = program(reset_, "sph/resetParticles", "clear") && ok;
  ok = program(postPass_, "sph/sortPostPass", "sortPostPass") && ok;
  ok = program(clearCounts_, "sph/countingSort", "clearCounts") && ok;
  ok = program(countVoxels_, "sph/countingSort", "countVoxels") && ok;
  ok = program(scanCounts_, "sph/countingSort", "scanCounts") && ok;
  ok = program(scatterKeys_, "sph/countingSort", "scatterKeys") && ok;
  ok = program(orderInVoxels_, "sph/countingSort", "orderInVoxels") && ok;
  ok = program(densityPass_, "sph/density", "density") && ok;
  ok = program(accelerationPass_, "sph/acceleration", "acceleration") && ok;
  ok = program(integrate_, "sph/integrate", "integrate") && ok;
  if (!ok) return false;

  particles_ = createStructuredBuffer(particles, kParticleBytes);
  sorted_ = createStructuredBuffer(particles, kParticleBytes);
  density_ = createStructuredBuffer(particles, 4);
  pressureTerm_ = createStructuredBuffer(particles, 4);
  neighbours_ = createStructuredBuffer(particles * kNeighbourRecord, 4);
  acceleration_ = createStructuredBuffer(particles, 16);
  keys_ = createStructuredBuffer(particles, kKeyBytes);
  keyScratch_ = createStructuredBuffer(particles, kKeyBytes);
  voxelStart_ = createStructuredBuffer(voxels, 4);
  voxelEnd_ = createStructuredBuffer(voxels, 4);
  ready_ = particles_ && sorted_ && density_ && pressureTerm_ && neighbours_ && acceleration_ && keys_ && keyScratch_ && voxelStart_ && voxelEnd_;
  if (ready_) reset();
  return ready_;
}

void FluidSimulation::reset() {
  if (!ready_) return;
  reset_->setUav(0, particles_);
  dispatch(reset_.get(), groups_, 1);
}

void FluidSimulation::hashParticles() {
  hash_->setUav(0, particles_);
  hash_->setUav(1, keys_);
  dispatch(hash_.get(), groups_, 1);
}

void FluidSimulation::sortKeys() {
  DeviceContext* dc = gDevice->context();
  dc->beginEvent("SORT VOXELS");
  // Counted into voxelStart_, summed into each voxel's start (with voxelEnd_ as the cursor),
  // scattered into keyScratch_ (voxelEnd_ then holds each voxel's end), ordered back into keys_.
  clearCounts_->setUav(0, voxelStart_);
  dispatch(clearCounts_.get(), voxelGroups_, 1);
  countVoxels_->setResource(5, 0, keys_);
  countVoxels_->setUav(0, voxelStart_);
  dispatch(countVoxels_.get(), groups_, 1);
  scanCounts_->setUav(0, voxelStart_);
  scanCounts_->setUav(1, voxelEnd_);
  dispatch(scanCounts_.get(), 1, 1);
  scatterKeys_->setResource(5, 0, keys_);
  scatterKeys_->setUav(1, voxelEnd_);
  scatterKeys_->setUav(2, keyScratch_);
  dispatch(scatterKeys_.get(), groups_, 1);
  orderInVoxels_->setResource(5, 0, keyScratch_);
  orderInVoxels_->setResource(5, 1, voxelStart_);
  orderInVoxels_->setResource(5, 2, voxelEnd_);
  orderInVoxels_->setUav(2, keys_);
  dispatch(orderInVoxels_.get(), voxelGroups_, 1);
  dc->endEvent();
}

void FluidSimulation::gatherParticles() {
  postPass_->setResource(5, 0, particles_);
  postPass_->setResource(5, 1, keys_);
  postPass_->setUav(0, sorted_);
  dispatch(postPass_.get(), groups_, 1);
}

void FluidSimulation::computeForces() {
  computeDensity();
  computeAcceleration();
}

void FluidSimulation::computeDensity() {
  densityPass_->setResource(5, 0, keys_);
  densityPass_->setResource(5, 1, voxelEnd_);
  densityPass_->setResource(5, 2, sorted_);
  densityPass_->setUav(0, density_);
  densityPass_->setUav(1, pressureTerm_);
  densityPass_->setUav(2, neighbours_);
  dispatch(densityPass_.get(), groups_, 1);
}

void FluidSimulation::computeAcceleration() {
  accelerationPass_->setResource(5, 0, keys_);
  accelerationPass_->setResource(5, 1, voxelEnd_);
  accelerationPass_->setResource(5, 2, density_);
  accelerationPass_->setResource(5, 4, pressureTerm_);
  accelerationPass_->setResource(5, 5, neighbours_);
  accelerationPass_->setResource(5, 3, sorted_);
  accelerationPass_->setUav(0, acceleration_);
  dispatch(accelerationPass_.get(), groups_, 1);
}

void FluidSimulation::integrate() {
  integrate_->setResource(5, 0, sorted_);
  integrate_->setResource(5, 1, acceleration_);
  integrate_->setUav(0, particles_);
  dispatch(integrate_.get(), groups_, 1);
}

void FluidSimulation::step() {
  if (!ready_) return;
  hashParticles();
  sortKeys();
  gatherParticles();
  computeForces();
  integrate();
}

// ---- operator ---------------------------------------------------------------------------

SPHOp::SPHOp() : Operator(CategoryScene) {
  declareInputs(kParams);
  addColorGroup("Emissive", EmissiveR, 3);
  addOutput("SceneOut", PortType::Scene, std::make_unique<SPHFunction>());
  linkOutput();
}

SPHOp::SPHFunction::SPHFunction() : params_(tableDefaults(kParams).data(), In::Count) {}
SPHOp::SPHFunction::~SPHFunction() = default;

void SPHOp::SPHFunction::evaluate(float t, const std::vector<Port*>& sources, Context& ctx) {
  if (needsInit) {
    needsInit = 0;
    sim_ = std::make_unique<FluidSimulation>();
    sim_->init();  // starts from the reset state
    if (gDevice) {
      sprites_ = std::make_unique<ShaderProgram>(gDevice);
      if (!loadProgramAuto("sph/pointsprites", spriteEntries(), sprites_.get())) sprites_.reset();
      else {
        sprites_->state = gDevice->stateFor(spriteGBufferState());
        checkObjectConstants(sprites_.get(), "sph/pointsprites", ObjectBlockUse::Whole);
      }
    }
  }
  const float reset = params_.read(sources, Reset, t, ctx);
  if (sim_ && sim_->ready()) {
    if (reset > 0.5f) {
      sim_->reset();
    } else {
      sim_->step();
      ++steps;
    }
  }
  draw(t, sources, ctx);
}

void SPHOp::SPHFunction::draw(float t, const std::vector<Port*>& sources, Context& ctx) {
  const float size = params_.read(sources, ParticleSize, t, ctx);
  const Float4 colour{params_.read(sources, EmissiveR, t, ctx), params_.read(sources, EmissiveG, t, ctx),
                      params_.read(sources, EmissiveB, t, ctx), 1.0f};
  if (!sprites_ || !sim_ || !sim_->ready()) return;
  SpriteDraw d;
  d.program = sprites_.get();
  d.particles = sim_->particles();
  d.vertexCount = sim_->size().particles();
  d.size = size;
  d.colour = colour;
  d.time = t;
  drawSprites(d, ctx, true);
}

}  // namespace sim
