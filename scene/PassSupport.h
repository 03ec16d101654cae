#pragma once
// Small tools shared by the lighting, decal, ray-marching and transparency passes: writing a
// program's b0 constants by name (matrices transposed), binding textures and samplers, and
// an optional record of everything written, for the shader contract test.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/Math.h"
#include "gfx/ShaderProgram.h"

// What the passes wrote into which program: constants with the bytes written, texture and
// sampler slots by stage. A constant the shader lacks is skipped at run time without a
// word, so the contract test compares this record against the shaders' reflection.
struct PassUseTrace {
  struct Constant {
    const ShaderProgram* program;
    std::string name;
    uint32_t bytes;
  };
  struct Slot {
    const ShaderProgram* program;
    uint32_t stage;
    uint32_t slot;
  };
  std::vector<Constant> constants;
  std::vector<Slot> textures;
  std::vector<Slot> samplers;
  std::vector<const ShaderProgram*> programs;  // every program drawn with, in order
};

// When set, the passes of the scene library record into it (tests only).
extern PassUseTrace* gPassTrace;

// Writes b0 of a program between construction and destruction (a write-discard map: every
// constant the shader reads must be written each time). A buffer that cannot be mapped is
// unrecoverable; a program without b0 writes nothing.
class ProgramConstants {
 public:
  explicit ProgramConstants(ShaderProgram* program, const char* passName);
  ~ProgramConstants();
  ProgramConstants(const ProgramConstants&) = delete;
  ProgramConstants& operator=(const ProgramConstants&) = delete;

  void set(const char* name, const void* data, uint32_t bytes);
  void matrix(const char* name, const Float4x4& m);  // written transposed
  void float4(const char* name, Float4 v) { set(name, &v, 16); }
  void float2(const char* name, Float2 v) { set(name, &v, 8); }
  void float1(const char* name, float v) { set(name, &v, 4); }

 private:
  ShaderProgram* program_;
  ConstantBuffer* cb_ = nullptr;
};

void bindPassTexture(ShaderProgram* program, uint32_t stage, uint32_t slot, Texture* texture);
void bindPassSampler(ShaderProgram* program, uint32_t stage, uint32_t slot, Sampler* sampler);
// Notes a draw with the program in the trace.
void tracePassDraw(const ShaderProgram* program);

// Loads a pass program by file name (road chosen by the shader mode); null with a log line
// naming the file when it does not load.
std::unique_ptr<ShaderProgram> loadPassProgram(Device* device, const char* name, const char* vs, const char* ps);
