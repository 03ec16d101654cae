#pragma once
// A small read/patch view over a SPIR-V module: enough of the type graph, names and
// decorations to lay out constant buffers the Direct3D way, to read stage semantics
// and to rewrite Location decorations in place. Internal to the HLSL front end.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace hlsl::spvw {

// Opcodes and enumerants used here (values from the SPIR-V registry).
enum Op : uint32_t {
  OpName = 5,
  OpMemberName = 6,
  OpEntryPoint = 15,
  OpExecutionMode = 16,
  OpTypeVoid = 19,
  OpTypeBool = 20,
  OpTypeInt = 21,
  OpTypeFloat = 22,
  OpTypeVector = 23,
  OpTypeMatrix = 24,
  OpTypeImage = 25,
  OpTypeSampler = 26,
  OpTypeArray = 28,
  OpTypeRuntimeArray = 29,
  OpTypeStruct = 30,
  OpTypePointer = 32,
  OpConstant = 43,
  OpFunction = 54,
  OpVariable = 59,
  OpAccessChain = 65,
  OpDecorate = 71,
  OpMemberDecorate = 72,
  OpAtomicIIncrement = 232,
  OpAtomicIDecrement = 233,
  OpAtomicIAdd = 234,
  OpAtomicISub = 235,
  OpDecorateId = 332,
  OpDecorateString = 5632,
  OpMemberDecorateString = 5633,
};

enum Decoration : uint32_t {
  DecBlock = 2,
  DecBufferBlock = 3,
  DecRowMajor = 4,
  DecColMajor = 5,
  DecArrayStride = 6,
  DecMatrixStride = 7,
  DecBuiltIn = 11,
  DecPatch = 15,
  DecNonWritable = 24,
  DecLocation = 30,
  DecBinding = 33,
  DecDescriptorSet = 34,
  DecOffset = 35,
  DecCounterBuffer = 5634,
  DecUserSemantic = 5635,
};

enum StorageClass : uint32_t { ScUniformConstant = 0, ScInput = 1, ScUniform = 2, ScOutput = 3, ScStorageBuffer = 12 };

struct Instruction {
  uint32_t pos = 0;  // index of the first word in the module
  uint32_t opcode = 0;
  uint32_t count = 0;  // word count including the first word
};

struct Module {
  std::vector<uint32_t>* words = nullptr;
  std::vector<Instruction> insts;
  std::map<uint32_t, std::string> names;
  std::map<uint32_t, std::vector<std::string>> memberNames;
  std::map<uint32_t, Instruction> defs;  // result id -> defining instruction (types, constants, variables)
  std::map<uint32_t, uint64_t> constants;  // scalar integer constants
  std::string error;

  // Operand i of an instruction; 0 past its end, so malformed files cannot read outside it.
  uint32_t word(const Instruction& in, uint32_t i) const { return i < in.count ? (*words)[in.pos + i] : 0; }
  uint32_t& wordRef(const Instruction& in, uint32_t i) { return (*words)[in.pos + i]; }
  std::string literalString(const Instruction& in, uint32_t firstWord) const;
  const Instruction* def(uint32_t id) const;
  // Storage class of a variable id, or UINT32_MAX when id is not a variable.
  uint32_t variableStorage(uint32_t id) const;
  // Pointee type of a variable id (0 when unknown).
  uint32_t variableType(uint32_t id) const;
  bool hasDecoration(uint32_t id, uint32_t decoration) const;
  bool decorationValue(uint32_t id, uint32_t decoration, uint32_t& value) const;
  bool memberDecorationValue(uint32_t structId, uint32_t member, uint32_t decoration, uint32_t& value) const;
  bool hasMemberDecoration(uint32_t structId, uint32_t member, uint32_t decoration) const;
  std::string decorationString(uint32_t id, uint32_t decoration) const;
};

// Parses the header and instruction stream. Returns false (with module.error) on a
// malformed module; words must outlive the module.
bool parse(std::vector<uint32_t>& words, Module& module);

// Direct3D constant-buffer size of a type used as a member of a struct. rowMajor tells
// how the member was declared when the type is (an array of) a matrix: true when each
// SPIR-V row lies in one 16-byte register.
struct D3DSize {
  uint32_t size = 0;
  bool startsRegister = false;  // arrays, matrices and structs begin on a 16-byte boundary
  bool endsRegister = false;    // structs (and arrays of them) push the next member to a new register
  bool ok = true;
  // The extent Vulkan's layout rules give the same data: a matrix stored column by column
  // (HLSL row_major) owns whole 16-byte columns, so nothing may pack into its last one.
  uint32_t vulkanSize = 0;
};
D3DSize d3dSize(const Module& m, uint32_t typeId, bool spirvRowMajor, int depth = 0);

// Explicit packoffset placements: constant-buffer name -> member name -> byte offset.
using PackOffsets = std::map<std::string, std::map<std::string, uint32_t>>;

// Rewrites Offset, ArrayStride and MatrixStride of every constant buffer (Uniform-class
// Block) so that the module's layout is Direct3D's. Returns false with m.error on a
// layout that cannot be expressed (mixed packoffset, conflicting shared types).
bool applyD3DLayout(Module& m, const PackOffsets& explicitOffsets);

// glslang splits a texture used with both a comparison and a plain sampler into two
// variables and leaves the register shift off one of them. Moves image and sampler
// bindings that lie below their class's range base into it; returns how many moved.
uint32_t fixUnshiftedBindings(Module& m, uint32_t textureBase, uint32_t samplerBase, uint32_t uavBase);

// The decoration-carrying interface variable of the first entry point.
struct IoVariable {
  uint32_t id = 0;
  uint32_t storage = 0;  // ScInput or ScOutput
  std::string semantic;  // as decorated (upper case), empty if none
  bool builtin = false;
  bool hasLocation = false;
  bool patch = false;
  uint32_t location = 0;
  uint32_t locationCount = 1;  // a matrix takes one location per column, an array one per element
  uint32_t components = 4;
  bool isInteger = false;
  bool isSigned = false;
};
bool interfaceVariables(const Module& m, std::vector<IoVariable>& out);

// Sets the Location decoration of a variable; false if it has none to rewrite.
bool setLocation(Module& m, uint32_t id, uint32_t location);

// Splits "TEXCOORD3" into ("TEXCOORD", 3); a name without trailing digits has index 0.
void splitSemantic(const std::string& full, std::string& name, uint32_t& index);

}  // namespace hlsl::spvw
