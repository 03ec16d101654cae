#pragma once
// A shader program: up to six stages from one HLSL file, their constant buffers found by
// reflection, and the resources, samplers and render state to bind with them.
//
// Binding for a draw, in this order: bindStates, bindShaders, bindResources,
// bindSamplers (bindProgram does all four); the caller sets topology and input layout and
// draws; then unbindResources so the textures can be bound as targets again. Compute
// programs run through dispatch().
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gfx/Device.h"
#include "gfx/ShaderManager.h"
#include "gfx/hlsl/HlslCompiler.h"

namespace gfxbackend {
class Shader;
}

constexpr uint32_t kProgramConstantBuffers = 8;

// One constant buffer of a program: a dynamic GPU buffer of the reflected size and the
// table of its variables (name hash, offset, size) sorted by hash. Constants are written
// between map() and unmap() (draw code does both through ConstantWriter); every map
// discards the previous contents, so a pass writes every constant its shader reads each time.
class ConstantBuffer {
 public:
  struct Variable {
    uint32_t hash;
    uint32_t offset;
    uint32_t size;
  };

  // The GPU buffer is made when device is not null.
  ConstantBuffer(Device* device, uint32_t slot, uint32_t size, uint32_t stageMask);
  ~ConstantBuffer();
  ConstantBuffer(const ConstantBuffer&) = delete;
  ConstantBuffer& operator=(const ConstantBuffer&) = delete;

  // Inserts a variable at its sorted place (reflection does this).
  void addVariable(const char* name, uint32_t offset, uint32_t size);
  const Variable* find(const char* name) const;
  const Variable* findHash(uint32_t hash) const;
  // find() through a small table of the names this buffer was asked for before, keyed by
  // the caller's pointer and checked against a copy of the text (a pointer may come back
  // with other text in it). Draw code passes the same literals every draw, so after the
  // first frame a name costs a pointer hash and a string compare, not a hash and a search.
  const Variable* lookup(const char* name);

  // Copies the declared size of the variable from source into the mapped memory. A name
  // the shader does not declare is ignored, as is any set while the buffer is not mapped.
  // The caller's source must hold at least the declared size.
  void set(const char* name, const void* source);
  // Bounded: copies at most sourceBytes and zero-fills the rest of the declared size.
  void set(const char* name, const void* source, size_t sourceBytes);

  // Write-discard map of the GPU buffer; false when there is none or the map failed.
  bool map();
  void unmap();

  Texture* buffer = nullptr;  // dynamic, constant-buffer binding, CPU write
  Device* device = nullptr;
  uint32_t slot = 0;
  uint32_t stageMask = 0;     // bit n: stage n declares this buffer
  uint32_t size = 0;
  uint8_t* mapped = nullptr;  // the currently mapped memory
  std::vector<Variable> variables;

 private:
  struct Remembered {
    const char* pointer = nullptr;  // null: a free entry
    const Variable* variable = nullptr;  // null: the shader does not declare the name
    char text[32] = {};
  };
  static constexpr uint32_t kRemembered = 64, kProbes = 4;
  std::unique_ptr<Remembered[]> remembered_;  // made empty by each addVariable
};

class ShaderProgram {
 public:
  explicit ShaderProgram(Device* device = gDevice);
  ~ShaderProgram();
  ShaderProgram(const ShaderProgram&) = delete;
  ShaderProgram& operator=(const ShaderProgram&) = delete;

  // Per stage: shader-resource textures (index = register t) and samplers (register s).
  std::vector<Texture*> resources[hlsl::kStageCount];
  std::vector<Sampler*> samplers[hlsl::kStageCount];
  // Unordered-access views of the compute stage (index = register u), bound with initial
  // counts 0 unless uavInitialCounts gives them (kKeepUavCount keeps a counter).
  std::vector<Texture*> uavs;
  std::vector<uint32_t> uavInitialCounts;
  RenderState* state = nullptr;  // null: the Device default
  gfxbackend::Shader* shaders[hlsl::kStageCount] = {};
  std::unique_ptr<ConstantBuffer> constants[kProgramConstantBuffers];
  Device* device = nullptr;

  // Setters that grow the lists to the register (once; later frames reuse the slots).
  void setResource(uint32_t stage, uint32_t reg, Texture* texture);
  void setSampler(uint32_t stage, uint32_t reg, Sampler* sampler);
  void setUav(uint32_t reg, Texture* texture);

  // Constant buffer of register b (slot), or null.
  ConstantBuffer* constantBuffer(uint32_t slot = 0) const {
    return slot < kProgramConstantBuffers ? constants[slot].get() : nullptr;
  }

  // Makes the stage object from a compiled blob and adds its constant buffers. A buffer
  // slot already filled by an earlier stage only gains this stage's bit: the first
  // stage's layout stands. False (with a message naming the shader and what it needs) when
  // the blob declares a capability the device does not offer. Unrecoverable: a blob that
  // does not reflect, a failing stage object, more than eight constant buffers or a
  // register above b7.
  bool attachStage(uint32_t stage, const ShaderBlob& blob, const std::string& name);
  // The constant-buffer part of attachStage, from a reflection (no GPU needed without a device).
  void addConstantBuffers(uint32_t stage, const hlsl::Reflection& reflection, const std::string& name);
};

void bindStates(ShaderProgram* program);
void bindShaders(ShaderProgram* program);
void bindResources(ShaderProgram* program);
void bindSamplers(ShaderProgram* program);
void unbindResources(ShaderProgram* program);
// The four binding steps in order.
void bindProgram(ShaderProgram* program);
// Compute: shader, its buffers, views, samplers and UAVs; Dispatch(x, y, 1); then the
// views and eight UAV slots are unbound.
void dispatch(ShaderProgram* program, uint32_t x, uint32_t y);

// A draw without vertex buffers (full-screen passes): binds the program, draws
// vertexCount vertices as a triangle strip and unbinds its resources.
void drawStrip(ShaderProgram* program, uint32_t vertexCount);

// Sets the five colour targets and the depth target to none.
void unbindRenderTargets(Device* device);
