#pragma once
// Loading shader programs: from HLSL sources compiled at run time ("data//shaders//"
// + name + ".hlsl") or from pre-compiled SPIR-V files ("data//binShaders//" + name +
// entry + stage suffix, raw words, no header). Compiled stages are kept in one
// process-wide cache keyed by name + entry, shared by both roads.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gfx/hlsl/HlslCompiler.h"

class ShaderProgram;

// Which road every pass takes: true exactly when the directory "data/binShaders"
// exists. Decided once at start-up (decideBinaryShaders) and read by every load.
extern bool useBinaryShaders;
bool decideBinaryShaders();

extern const char* const kStageSuffix[hlsl::kStageCount];   // ".vs" ... ".cs"
extern const char* const kStageProfile[hlsl::kStageCount];  // "vs_5_0" ... "cs_5_0"

// The entry point wanted for each stage, null where the stage is not wanted.
struct EntryPoints {
  const char* entry[hlsl::kStageCount] = {};

  static EntryPoints vsps(const char* vs, const char* ps) {
    EntryPoints e;
    e.entry[0] = vs;
    e.entry[4] = ps;
    return e;
  }
  static EntryPoints compute(const char* cs) {
    EntryPoints e;
    e.entry[5] = cs;
    return e;
  }
  const char* operator[](uint32_t stage) const { return entry[stage]; }
};

// One compiled stage: SPIR-V words.
struct ShaderBlob {
  uint32_t stage = 0;
  std::vector<uint32_t> words;

  size_t byteSize() const { return words.size() * sizeof(uint32_t); }
  const void* bytes() const { return words.data(); }
};

// Source road. name is a bare file name in "data//shaders//" unless nameIsPath.
// Stages are built in the order: compute alone when a compute entry is given; else
// vertex, hull and domain (only both together), geometry, pixel. Returns false at the
// first stage that fails; the stages built before it stay in the program.
bool loadProgram(const char* name, const EntryPoints& entries, ShaderProgram* program,
                 bool forceRecompile = false, bool nameIsPath = false);

// Compiled road, same stage order and cache keys; a missing cache entry is read from
// "data//binShaders//" + name + entry + suffix (or name + entry + suffix with nameIsPath).
bool loadProgramBinary(const char* name, const EntryPoints& entries, ShaderProgram* program,
                       bool nameIsPath = false);

// For operators whose shader file is a parameter: loads a new program by the road
// useBinaryShaders selects and, on success, replaces the one in slot. On failure the
// slot keeps its old program. The source road always compiles such files afresh.
bool loadProgramFromFile(const char* path, const EntryPoints& entries,
                         std::unique_ptr<ShaderProgram>& slot);

// Loads by the road useBinaryShaders selects (the call every pass makes).
bool loadProgramAuto(const char* name, const EntryPoints& entries, ShaderProgram* program);

// Compiles one stage from HLSL text. Compiler messages become the last compile error and
// are logged, naming sourceName (the file) when given. Null on failure.
std::unique_ptr<ShaderBlob> compileShader(uint32_t stage, const char* profile,
                                          const std::string& source, const char* entry,
                                          const char* sourceName = nullptr);

// Messages of the latest compile (empty when it had none).
const std::string& lastCompileError();

// The compiled road's base name for an operator-given path under "data\\shaders" (or
// "data/shaders"): the part from that directory on, with "binShaders" for "shaders",
// forward slashes, and the file name's extension cut off.
std::string binaryShaderBase(const std::string& path);

// The line logged for every source-road load (without its line break).
std::string programLogLine(const char* name, const EntryPoints& entries);

// Reads a file whole; false when it cannot be opened. Backslashes count as separators.
bool readWholeFile(const std::string& path, std::string& out);

// Cache inspection and teardown.
const ShaderBlob* cachedShader(const std::string& key);
size_t shaderCacheSize();
void clearShaderCache();  // at shutdown
