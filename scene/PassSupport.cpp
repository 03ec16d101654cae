#include "scene/PassSupport.h"

#include <string>

#include "gfx/FatalError.h"
#include "gfx/ShaderManager.h"

PassUseTrace* gPassTrace = nullptr;

ProgramConstants::ProgramConstants(ShaderProgram* program, const char* passName) : program_(program) {
  cb_ = program ? program->constantBuffer(0) : nullptr;
  if (cb_ && !cb_->map()) {
    std::string text = std::string("Could not map the constant buffer of ") + passName;
    fatalError(text.c_str());
  }
}

ProgramConstants::~ProgramConstants() {
  if (cb_) cb_->unmap();
}

void ProgramConstants::set(const char* name, const void* data, uint32_t bytes) {
  if (gPassTrace && program_) gPassTrace->constants.push_back({program_, name, bytes});
  if (cb_) cb_->set(name, data, bytes);
}

void ProgramConstants::matrix(const char* name, const Float4x4& m) {
  const Float4x4 t = m.transposed();
  set(name, t.m, sizeof t.m);
}

void bindPassTexture(ShaderProgram* program, uint32_t stage, uint32_t slot, Texture* texture) {
  if (!program) return;
  if (gPassTrace) gPassTrace->textures.push_back({program, stage, slot});
  program->setResource(stage, slot, texture);
}

void bindPassSampler(ShaderProgram* program, uint32_t stage, uint32_t slot, Sampler* sampler) {
  if (!program) return;
  if (gPassTrace) gPassTrace->samplers.push_back({program, stage, slot});
  program->setSampler(stage, slot, sampler);
}

void tracePassDraw(const ShaderProgram* program) {
  if (gPassTrace && program) gPassTrace->programs.push_back(program);
}

std::unique_ptr<ShaderProgram> loadPassProgram(Device* device, const char* name, const char* vs, const char* ps) {
  auto program = std::make_unique<ShaderProgram>(device);
  if (!loadProgramAuto(name, EntryPoints::vsps(vs, ps), program.get())) {
    logMessage("Lighting: could not load the program %s (%s, %s)\n", name, vs, ps);
    return nullptr;
  }
  return program;
}
