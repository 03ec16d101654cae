#pragma once
// Small tools shared by the lighting, decal, ray-marching and transparency passes: binding
// textures and samplers, loading their programs, and an optional record of everything
// written (their constants go through ConstantWriter with gPassTrace).
#include <cstdint>
#include <memory>

#include "engine/Math.h"
#include "gfx/ConstantWriter.h"
#include "gfx/ShaderProgram.h"

// When set, the passes of the scene library record every constant, texture, sampler and
// draw into it (tests only): a constant the shader lacks is skipped at run time without a
// word, so the contract test compares this record against the shaders' reflection.
extern ProgramTrace* gPassTrace;

void bindPassTexture(ShaderProgram* program, uint32_t stage, uint32_t slot, Texture* texture);
void bindPassSampler(ShaderProgram* program, uint32_t stage, uint32_t slot, Sampler* sampler);
// Notes a draw with the program in the trace.
void tracePassDraw(const ShaderProgram* program);

// Loads a pass program by file name (road chosen by the shader mode); null with a log line
// naming the file when it does not load.
std::unique_ptr<ShaderProgram> loadPassProgram(Device* device, const char* name, const char* vs, const char* ps);
