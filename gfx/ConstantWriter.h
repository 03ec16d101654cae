#pragma once
// The one way draw code writes shader constants: a writer maps one constant buffer of a
// program when it is made, sets constants by name, and unmaps when it goes. A map discards
// the old contents, so a pass writes every constant its shader reads each time.
//
// A name the program does not declare is skipped without a word, which is why a writer can
// record what it wrote into a ProgramTrace: the contract tests compare that record with the
// programs' reflection.
#include <cstdint>
#include <string>
#include <vector>

class ConstantBuffer;
class ShaderProgram;
class Texture;

// gRegionScale and gRegionOffset: a shader maps uv in [0, 1] over the region being drawn
// to uv * scale + offset in the source.
struct RegionConstants {
  float scale[2] = {1.0f, 1.0f};
  float offset[2] = {0.0f, 0.0f};
};

// Everything a pass handed to its programs, for the shader contract tests: constants by
// name with the bytes written, texture, sampler and unordered-access slots with their stage
// (4 pixel, 5 compute, ...), and every program drawn or dispatched, in order.
struct ProgramTrace {
  struct Constant {
    const ShaderProgram* program;
    uint32_t buffer;
    std::string name;
    uint32_t bytes;
  };
  struct Slot {
    const ShaderProgram* program;
    uint32_t stage;
    uint32_t slot;
    const Texture* resource;
  };
  std::vector<Constant> constants;
  std::vector<Slot> textures, samplers, uavs;
  std::vector<const ShaderProgram*> runs;
};

// What a buffer that will not map means to the caller: the end of the program (with a
// message naming the shader), or a pass that goes ahead without writing.
enum class MapFailure { Fatal, Skip };

class ConstantWriter {
 public:
  // Maps buffer `buffer` of the program (nothing to do without a program or that buffer).
  // `shader` names the program in the fatal message. A buffer the caller has already mapped
  // is written as it is and left mapped.
  ConstantWriter(ShaderProgram* program, const char* shader, ProgramTrace* trace = nullptr, uint32_t buffer = 0,
                 MapFailure onFailure = MapFailure::Fatal);
  ~ConstantWriter();
  ConstantWriter(const ConstantWriter&) = delete;
  ConstantWriter& operator=(const ConstantWriter&) = delete;

  // The buffer is there and mapped: what is set reaches the shader.
  bool mapped() const { return cb_ != nullptr; }
  // For writers of a fixed block that resolve its names once and write by offset: the mapped
  // buffer (null when not mapped), and whether the writes must also be recorded by name.
  ConstantBuffer* buffer() const { return cb_; }
  bool recording() const { return trace_ && program_; }

  // Writes the value's bytes; a shorter declaration takes its own size, a longer one is
  // zero-filled past the value.
  template <typename T>
  ConstantWriter& set(const char* name, const T& value) {
    write(name, &value, uint32_t(sizeof(T)));
    return *this;
  }
  ConstantWriter& write(const char* name, const void* data, uint32_t bytes);
  // A row-vector matrix given as 16 floats, row after row, written transposed: the shaders
  // read matrices column-major.
  ConstantWriter& matrix(const char* name, const float (&rowMajor)[16]);
  // gRegionScale and gRegionOffset (or the names given).
  ConstantWriter& region(const RegionConstants& rc, const char* scaleName = "gRegionScale",
                         const char* offsetName = "gRegionOffset");

 private:
  ShaderProgram* program_;
  ProgramTrace* trace_;
  uint32_t buffer_;
  ConstantBuffer* cb_ = nullptr;
  bool unmap_ = false;
};
