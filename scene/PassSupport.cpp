#include "scene/PassSupport.h"

#include "gfx/FatalError.h"
#include "gfx/ShaderManager.h"

ProgramTrace* gPassTrace = nullptr;

void bindPassTexture(ShaderProgram* program, uint32_t stage, uint32_t slot, Texture* texture) {
  if (!program) return;
  if (gPassTrace) gPassTrace->textures.push_back({program, stage, slot, texture});
  program->setResource(stage, slot, texture);
}

void bindPassSampler(ShaderProgram* program, uint32_t stage, uint32_t slot, Sampler* sampler) {
  if (!program) return;
  if (gPassTrace) gPassTrace->samplers.push_back({program, stage, slot, nullptr});
  program->setSampler(stage, slot, sampler);
}

void tracePassDraw(const ShaderProgram* program) {
  if (gPassTrace && program) gPassTrace->runs.push_back(program);
}

std::unique_ptr<ShaderProgram> loadPassProgram(Device* device, const char* name, const char* vs, const char* ps) {
  auto program = std::make_unique<ShaderProgram>(device);
  if (!loadProgramAuto(name, EntryPoints::vsps(vs, ps), program.get())) {
    logMessage("Lighting: could not load the program %s (%s, %s)\n", name, vs, ps);
    return nullptr;
  }
  return program;
}
