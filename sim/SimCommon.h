#pragma once
// Helpers shared by the simulations: GPU buffers, compute programs, the bitonic sort that
// particles and fluid both use, reading parameters that may hold anything, and evaluating
// every connection of a multi-connection scene input.
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/Math.h"
#include "engine/Params.h"
#include "engine/Port.h"
#include "gfx/ShaderProgram.h"

class Texture;

namespace sim {

// Structured buffer flags: default usage, shader-resource and unordered-access views. The
// unordered-access view carries the hidden append counter.
constexpr uint32_t kStructuredBufferFlags = 0x40241;

// A zero-filled structured buffer of count elements of stride bytes (null without a device).
Texture* createStructuredBuffer(uint32_t count, uint32_t stride, const void* data = nullptr);

// Loads one compute entry of a shader file (name below data/shaders, without extension) into
// program by the road the player chose. Logs which file failed and returns false on failure.
// With `defines` (lines of "#define ..."), the file is compiled from source with them in
// front instead, bypassing the cache: how tests build a smaller variant of a simulation.
bool loadComputeProgram(ShaderProgram& program, const char* name, const char* entry,
                        const std::string& defines = {});

// The value, or `fallback` when it is NaN or infinite.
inline float finiteOr(float value, float fallback) { return std::isfinite(value) ? value : fallback; }
// The value clamped to [lo, hi]; NaN gives `fallback`.
inline float clampFinite(float value, float lo, float hi, float fallback) {
  if (std::isnan(value)) return fallback;
  return value < lo ? lo : (value > hi ? hi : value);
}

// Reads the float parameters of one operator so that a parameter which is not a finite
// number (an animation gone wrong, a division by zero upstream) is ignored for that frame:
// the last finite value read from it stands in, or the declared default before there is one.
class ParamReader {
 public:
  // defaults[i] is the declared default of input i (count entries).
  ParamReader(const float* defaults, size_t count) : last_(defaults, defaults + count) {}
  float read(const std::vector<Port*>& sources, size_t input, float t, Context& ctx) {
    const float v = evalFloat(sources, input, t, ctx);
    if (input >= last_.size()) return std::isfinite(v) ? v : 0.0f;
    if (std::isfinite(v)) last_[input] = v;
    return last_[input];
  }

 private:
  std::vector<float> last_;
};

// Declared defaults of a parameter table, for ParamReader.
template <size_t N>
std::vector<float> tableDefaults(const ParamDecl (&table)[N]) {
  std::vector<float> d;
  for (const ParamDecl& p : table) d.push_back(p.def);
  return d;
}

// Evaluates every connection of a scene input in connection order (an input's own evaluation
// runs only its first connection).
void evaluateEveryConnection(const std::vector<Port*>& sources, size_t input, float t, Context& ctx);

// Bitonic sort of `count` elements (a power of two) laid out as a matrix of rows of `block`
// elements (at least 32 rows of at least 32), with the "sort" and "matrixTranspose" entries of one sort file: the levels up
// to the row length sort inside rows; each larger level transposes, sorts the columns, transposes back
// and sorts the rows. Constants: gLevel, gLevelMask, gWidth, gHeight, and gSortAxis when an
// axis is given (the particle sort orders records along it).
class BitonicSorter {
 public:
  // block: elements sorted by one group (the file's SORT_BLOCK; 1024 unless the defines
  // change it). Loads both entries; false (logged) when either fails.
  bool load(const char* shaderName, uint32_t block = 1024, const std::string& defines = {});
  bool loaded() const { return sort_.shaders[5] && transpose_.shaders[5]; }
  // data is sorted in place; scratch (count elements too) receives the transposes.
  void run(Texture* data, Texture* scratch, uint32_t count, const Float4* axis = nullptr);

  static constexpr uint32_t kTile = 32;  // transpose tile edge

 private:
  void pass(ShaderProgram& program, uint32_t level, uint32_t mask, uint32_t width, uint32_t height,
            const Float4* axis);

  uint32_t block_ = 1024;
  ShaderProgram sort_{gDevice};
  ShaderProgram transpose_{gDevice};
};

}  // namespace sim
