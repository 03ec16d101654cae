#include "gfx/hlsl/SpirvWords.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace hlsl::spvw {

namespace {

constexpr uint32_t kMagic = 0x07230203;
constexpr uint32_t kRegister = 16;
constexpr int kMaxTypeDepth = 64;

uint32_t roundUp16(uint32_t v) { return (v + kRegister - 1) / kRegister * kRegister; }

}  // namespace

std::string Module::literalString(const Instruction& in, uint32_t firstWord) const {
  std::string s;
  for (uint32_t i = firstWord; i < in.count; ++i) {
    uint32_t w = word(in, i);
    for (int b = 0; b < 4; ++b) {
      char c = static_cast<char>((w >> (8 * b)) & 0xff);
      if (c == 0) return s;
      s.push_back(c);
    }
  }
  return s;
}

const Instruction* Module::def(uint32_t id) const {
  auto it = defs.find(id);
  return it == defs.end() ? nullptr : &it->second;
}

uint32_t Module::variableStorage(uint32_t id) const {
  const Instruction* in = def(id);
  if (!in || in->opcode != OpVariable || in->count < 4) return UINT32_MAX;
  return word(*in, 3);
}

uint32_t Module::variableType(uint32_t id) const {
  const Instruction* in = def(id);
  if (!in || in->opcode != OpVariable) return 0;
  const Instruction* ptr = def(word(*in, 1));
  if (!ptr || ptr->opcode != OpTypePointer) return 0;
  return word(*ptr, 3);
}

bool Module::hasDecoration(uint32_t id, uint32_t decoration) const {
  uint32_t v;
  return decorationValue(id, decoration, v);
}

bool Module::decorationValue(uint32_t id, uint32_t decoration, uint32_t& value) const {
  for (const Instruction& in : insts) {
    if ((in.opcode == OpDecorate || in.opcode == OpDecorateId) && in.count >= 3 && word(in, 1) == id &&
        word(in, 2) == decoration) {
      value = in.count >= 4 ? word(in, 3) : 0;
      return true;
    }
  }
  return false;
}

bool Module::memberDecorationValue(uint32_t structId, uint32_t member, uint32_t decoration,
                                   uint32_t& value) const {
  for (const Instruction& in : insts) {
    if (in.opcode == OpMemberDecorate && in.count >= 4 && word(in, 1) == structId && word(in, 2) == member &&
        word(in, 3) == decoration) {
      value = in.count >= 5 ? word(in, 4) : 0;
      return true;
    }
  }
  return false;
}

bool Module::hasMemberDecoration(uint32_t structId, uint32_t member, uint32_t decoration) const {
  uint32_t v;
  return memberDecorationValue(structId, member, decoration, v);
}

std::string Module::decorationString(uint32_t id, uint32_t decoration) const {
  for (const Instruction& in : insts) {
    if (in.opcode == OpDecorateString && in.count >= 4 && word(in, 1) == id && word(in, 2) == decoration)
      return literalString(in, 3);
  }
  return {};
}

bool parse(std::vector<uint32_t>& words, Module& m) {
  m.words = &words;
  m.insts.clear();
  m.names.clear();
  m.memberNames.clear();
  m.defs.clear();
  m.constants.clear();
  if (words.size() < 5 || words[0] != kMagic) {
    m.error = "not a SPIR-V module (bad magic number or too short)";
    return false;
  }
  size_t pos = 5;
  while (pos < words.size()) {
    Instruction in;
    in.pos = static_cast<uint32_t>(pos);
    in.opcode = words[pos] & 0xffff;
    in.count = words[pos] >> 16;
    if (in.count == 0 || pos + in.count > words.size()) {
      m.error = "malformed SPIR-V instruction at word " + std::to_string(pos);
      return false;
    }
    m.insts.push_back(in);
    switch (in.opcode) {
      case OpName:
        if (in.count >= 2) m.names[m.word(in, 1)] = m.literalString(in, 2);
        break;
      case OpMemberName:
        // A struct has fewer than 65536 members (16-bit word count); a larger index is
        // malformed and must not size the list (nor wrap member + 1 to 0).
        if (in.count >= 3 && m.word(in, 2) < 0x10000) {
          auto& list = m.memberNames[m.word(in, 1)];
          uint32_t member = m.word(in, 2);
          if (list.size() <= member) list.resize(member + 1);
          list[member] = m.literalString(in, 3);
        }
        break;
      case OpTypeVoid:
      case OpTypeBool:
      case OpTypeInt:
      case OpTypeFloat:
      case OpTypeVector:
      case OpTypeMatrix:
      case OpTypeImage:
      case OpTypeSampler:
      case OpTypeArray:
      case OpTypeRuntimeArray:
      case OpTypeStruct:
      case OpTypePointer:
        if (in.count >= 2) m.defs[m.word(in, 1)] = in;
        break;
      case OpConstant:
      case OpVariable:
      case OpAccessChain:
        if (in.count >= 3) m.defs[m.word(in, 2)] = in;
        if (in.opcode == OpConstant && in.count >= 4) {
          uint64_t v = m.word(in, 3);
          if (in.count >= 5) v |= static_cast<uint64_t>(m.word(in, 4)) << 32;
          m.constants[m.word(in, 2)] = v;
        }
        break;
      default:
        break;
    }
    pos += in.count;
  }
  return true;
}

void splitSemantic(const std::string& full, std::string& name, uint32_t& index) {
  size_t end = full.size();
  while (end > 0 && std::isdigit(static_cast<unsigned char>(full[end - 1]))) --end;
  name = full.substr(0, end);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  // Saturating: the compiler accepts any digit string, and an index past 32 bits must not
  // throw; it simply matches nothing real.
  uint64_t value = 0;
  for (size_t i = end; i < full.size(); ++i) value = std::min<uint64_t>(value * 10 + uint64_t(full[i] - '0'), UINT32_MAX);
  index = static_cast<uint32_t>(value);
}

// ---------------------------------------------------------------------------------------
// Direct3D constant-buffer packing. Registers are 16 bytes; a scalar or vector packs into
// the current register unless it would cross into the next one; arrays, matrices and
// structs start a register; every array element starts a register (so the stride is the
// element size rounded up to 16, and the array's size stops at the last element's data);
// a matrix takes one register per column (column_major) or per row (row_major); a struct
// also pushes the member after it to the next register.
namespace {

struct StructLayout {
  std::vector<uint32_t> offsets;
  std::vector<D3DSize> sizes;
  uint32_t size = 0;
  uint32_t vulkanSize = 0;
  bool ok = true;
  std::string error;
};

bool memberRowMajor(const Module& m, uint32_t structId, uint32_t member) {
  return m.hasMemberDecoration(structId, member, DecRowMajor);
}

StructLayout layoutStruct(const Module& m, uint32_t structId, const std::map<std::string, uint32_t>* explicitOffsets,
                          int depth = 0);

}  // namespace

D3DSize d3dSize(const Module& m, uint32_t typeId, bool spirvRowMajor, int depth) {
  D3DSize r;
  const Instruction* t = m.def(typeId);
  if (!t || depth > kMaxTypeDepth) {  // unknown or (in a damaged file) cyclic types
    r.ok = false;
    return r;
  }
  switch (t->opcode) {
    case OpTypeBool:
      r.size = r.vulkanSize = 4;
      break;
    case OpTypeInt:
    case OpTypeFloat: {
      uint32_t width = m.word(*t, 2);
      r.size = width == 64 ? 8 : 4;  // 16-bit types occupy a full 32-bit slot in a cbuffer
      r.vulkanSize = r.size;
      break;
    }
    case OpTypeVector: {
      D3DSize c = d3dSize(m, m.word(*t, 2), false, depth + 1);
      r.size = r.vulkanSize = c.size * m.word(*t, 3);
      r.ok = c.ok;
      break;
    }
    case OpTypeMatrix: {
      const Instruction* col = m.def(m.word(*t, 2));
      if (!col || col->opcode != OpTypeVector) {
        r.ok = false;
        return r;
      }
      uint32_t rows = m.word(*col, 3);  // SPIR-V rows (components of a column)
      uint32_t cols = m.word(*t, 3);
      if (rows == 0 || rows > 4 || cols == 0 || cols > 4) {
        r.ok = false;
        return r;
      }
      D3DSize c = d3dSize(m, m.word(*col, 2), false, depth + 1);
      uint32_t regs = spirvRowMajor ? rows : cols;
      uint32_t perReg = spirvRowMajor ? cols : rows;
      r.size = kRegister * (regs - 1) + perReg * c.size;
      r.vulkanSize = spirvRowMajor ? r.size : kRegister * regs;
      r.startsRegister = true;
      r.ok = c.ok;
      break;
    }
    case OpTypeArray: {
      auto len = m.constants.find(m.word(*t, 3));
      if (len == m.constants.end() || len->second == 0 || len->second > 65536) {
        r.ok = false;
        return r;
      }
      D3DSize e = d3dSize(m, m.word(*t, 2), spirvRowMajor, depth + 1);
      uint32_t stride = roundUp16(e.size);
      r.size = stride * static_cast<uint32_t>(len->second - 1) + e.size;
      r.vulkanSize = stride * static_cast<uint32_t>(len->second - 1) + e.vulkanSize;
      r.startsRegister = true;
      r.endsRegister = e.endsRegister;
      r.ok = e.ok;
      break;
    }
    case OpTypeStruct: {
      StructLayout l = layoutStruct(m, typeId, nullptr, depth + 1);
      r.size = l.size;
      r.vulkanSize = l.vulkanSize;
      r.startsRegister = true;
      r.endsRegister = true;
      r.ok = l.ok;
      break;
    }
    default:
      r.ok = false;  // runtime arrays, images, pointers have no constant-buffer layout
      break;
  }
  return r;
}

namespace {

StructLayout layoutStruct(const Module& m, uint32_t structId, const std::map<std::string, uint32_t>* explicitOffsets,
                          int depth) {
  StructLayout l;
  const Instruction* t = m.def(structId);
  if (!t || t->opcode != OpTypeStruct) {
    l.ok = false;
    l.error = "not a struct type";
    return l;
  }
  const std::vector<std::string>* names = nullptr;
  auto nit = m.memberNames.find(structId);
  if (nit != m.memberNames.end()) names = &nit->second;
  uint32_t members = t->count - 2;
  uint32_t cursor = 0;
  uint32_t end = 0;
  bool pushToNext = false;
  for (uint32_t i = 0; i < members; ++i) {
    D3DSize s = d3dSize(m, m.word(*t, 2 + i), memberRowMajor(m, structId, i), depth + 1);
    if (!s.ok) {
      l.ok = false;
      l.error = "member " + std::to_string(i) + " has a type without a constant-buffer layout";
      return l;
    }
    uint32_t offset = cursor;
    std::string name = names && i < names->size() ? (*names)[i] : std::string();
    auto ex = explicitOffsets ? explicitOffsets->find(name) : std::map<std::string, uint32_t>::const_iterator();
    if (explicitOffsets && ex != explicitOffsets->end()) {
      offset = ex->second;
      if (s.startsRegister && offset % kRegister != 0) {
        l.ok = false;
        l.error = "packoffset of '" + name + "' must start a register (.x)";
        return l;
      }
      if (!s.startsRegister && offset % kRegister + s.size > kRegister) {
        l.ok = false;
        l.error = "packoffset of '" + name + "' crosses a register boundary";
        return l;
      }
    } else {
      if (pushToNext || s.startsRegister || (offset % kRegister) + s.size > kRegister) offset = roundUp16(offset);
    }
    l.offsets.push_back(offset);
    l.sizes.push_back(s);
    cursor = offset + s.size;
    pushToNext = s.endsRegister;
    end = std::max(end, cursor);
  }
  l.size = end;
  // Members must not overlap, neither through packoffset nor in the tail of a row_major
  // matrix's last register, which Direct3D fills but Vulkan reserves for the matrix.
  std::vector<uint32_t> order(l.offsets.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return l.offsets[a] < l.offsets[b]; });
  for (size_t k = 0; k < order.size(); ++k) {
    uint32_t i = order[k];
    l.vulkanSize = std::max(l.vulkanSize, l.offsets[i] + l.sizes[i].vulkanSize);
    if (k == 0) continue;
    uint32_t p = order[k - 1];
    auto nameOf = [&](uint32_t idx) {
      return names && idx < names->size() ? "'" + (*names)[idx] + "'" : "member " + std::to_string(idx);
    };
    if (l.offsets[i] < l.offsets[p] + l.sizes[p].size) {
      l.ok = false;
      l.error = nameOf(i) + " overlaps " + nameOf(p);
      return l;
    }
    if (l.offsets[i] < l.offsets[p] + l.sizes[p].vulkanSize) {
      l.ok = false;
      l.error = nameOf(i) + " would pack into the last register of row_major matrix " + nameOf(p) +
                ", which Vulkan cannot express; pad to the next register (float4 boundary) or declare the "
                "matrix column_major";
      return l;
    }
  }
  return l;
}

struct LayoutPatcher {
  Module& m;
  std::map<uint32_t, uint32_t> arrayStrides;  // array type -> required stride
  std::set<uint32_t> doneStructs;
  std::string error;

  bool setMemberDecoration(uint32_t structId, uint32_t member, uint32_t decoration, uint32_t value) {
    for (const Instruction& in : m.insts) {
      if (in.opcode == OpMemberDecorate && in.count >= 5 && m.word(in, 1) == structId && m.word(in, 2) == member &&
          m.word(in, 3) == decoration) {
        m.wordRef(in, 4) = value;
        return true;
      }
    }
    return false;
  }

  bool setDecoration(uint32_t id, uint32_t decoration, uint32_t value) {
    for (const Instruction& in : m.insts) {
      if (in.opcode == OpDecorate && in.count >= 4 && m.word(in, 1) == id && m.word(in, 2) == decoration) {
        m.wordRef(in, 3) = value;
        return true;
      }
    }
    return false;
  }

  std::string typeName(uint32_t id) const {
    auto it = m.names.find(id);
    if (it != m.names.end() && !it->second.empty()) return it->second;
    std::string anonymous = "%";  // (not "%" + to_string: GCC 12 warns falsely at -O2)
    return anonymous += std::to_string(id);
  }

  // Patches strides of (nested) arrays and the layout of structs reachable from typeId.
  bool patchType(uint32_t typeId, bool rowMajor) {
    const Instruction* t = m.def(typeId);
    if (!t) return true;
    if (t->opcode == OpTypeArray) {
      uint32_t elem = m.word(*t, 2);
      D3DSize e = d3dSize(m, elem, rowMajor);
      uint32_t stride = roundUp16(e.size);
      auto it = arrayStrides.find(typeId);
      if (it != arrayStrides.end() && it->second != stride) {
        error = "array type " + typeName(typeId) + " is shared by members that need different strides";
        return false;
      }
      arrayStrides[typeId] = stride;
      if (!setDecoration(typeId, DecArrayStride, stride)) {
        error = "array type " + typeName(typeId) + " has no ArrayStride to rewrite";
        return false;
      }
      return patchType(elem, rowMajor);
    }
    if (t->opcode == OpTypeStruct) return patchStruct(typeId, nullptr);
    return true;
  }

  bool patchStruct(uint32_t structId, const std::map<std::string, uint32_t>* explicitOffsets) {
    if (!explicitOffsets && doneStructs.count(structId)) return true;
    doneStructs.insert(structId);
    StructLayout l = layoutStruct(m, structId, explicitOffsets);
    if (!l.ok) {
      error = "constant buffer layout of " + typeName(structId) + ": " + l.error;
      return false;
    }
    const Instruction* t = m.def(structId);
    for (uint32_t i = 0; i + 2 < t->count; ++i) {
      if (!setMemberDecoration(structId, i, DecOffset, l.offsets[i])) {
        error = "member " + std::to_string(i) + " of " + typeName(structId) + " has no Offset to rewrite";
        return false;
      }
      // Matrices (and arrays of them) keep glslang's MatrixStride; Direct3D's is one register.
      setMemberDecoration(structId, i, DecMatrixStride, kRegister);
      if (!patchType(m.word(*t, 2 + i), memberRowMajor(m, structId, i))) return false;
    }
    return true;
  }
};

}  // namespace

bool applyD3DLayout(Module& m, const PackOffsets& explicitOffsets) {
  LayoutPatcher p{m, {}, {}, {}};
  for (const Instruction& in : m.insts) {
    if (in.opcode != OpVariable || in.count < 4 || m.word(in, 3) != ScUniform) continue;
    uint32_t type = m.variableType(m.word(in, 2));
    const Instruction* t = m.def(type);
    while (t && t->opcode == OpTypeArray) {  // arrays of constant buffers
      type = m.word(*t, 2);
      t = m.def(type);
    }
    if (!t || t->opcode != OpTypeStruct || !m.hasDecoration(type, DecBlock)) continue;
    std::string blockName = p.typeName(type);
    const std::map<std::string, uint32_t>* ex = nullptr;
    auto eit = explicitOffsets.find(blockName);
    if (eit != explicitOffsets.end() && !eit->second.empty()) {
      ex = &eit->second;
      auto nit = m.memberNames.find(type);
      uint32_t members = t->count - 2;
      for (uint32_t i = 0; i < members; ++i) {
        std::string name = nit != m.memberNames.end() && i < nit->second.size() ? nit->second[i] : std::string();
        if (!ex->count(name)) {
          m.error = "cbuffer " + blockName + ": member '" + name +
                    "' has no packoffset while others have one (use packoffset on all members or none)";
          return false;
        }
      }
    }
    if (!p.patchStruct(type, ex)) {
      m.error = p.error;
      return false;
    }
  }
  return true;
}

uint32_t fixUnshiftedBindings(Module& m, uint32_t textureBase, uint32_t samplerBase, uint32_t uavBase) {
  uint32_t moved = 0;
  for (const Instruction& in : m.insts) {
    if (in.opcode != OpDecorate || in.count < 4 || m.word(in, 2) != DecBinding) continue;
    uint32_t var = m.word(in, 1);
    if (m.variableStorage(var) != ScUniformConstant) continue;
    const Instruction* t = m.def(m.variableType(var));
    while (t && t->opcode == OpTypeArray) t = m.def(m.word(*t, 2));
    if (!t) continue;
    uint32_t base = UINT32_MAX;
    if (t->opcode == OpTypeImage && t->count >= 9) base = m.word(*t, 7) == 2 ? uavBase : textureBase;
    if (t->opcode == OpTypeSampler) base = samplerBase;
    if (base == UINT32_MAX || m.word(in, 3) >= base) continue;
    m.wordRef(in, 3) += base;
    ++moved;
  }
  return moved;
}

// ---------------------------------------------------------------------------------------

namespace {

void describeComponents(const Module& m, uint32_t typeId, IoVariable& v) {
  const Instruction* t = m.def(typeId);
  // Bounded: in a damaged module an array may name itself as its element type.
  for (int depth = 0; t && (t->opcode == OpTypeArray || t->opcode == OpTypeRuntimeArray); ++depth)
    t = depth < kMaxTypeDepth ? m.def(m.word(*t, 2)) : nullptr;
  if (!t) return;
  uint32_t scalar = 0;
  if (t->opcode == OpTypeVector) {
    v.components = m.word(*t, 3);
    scalar = m.word(*t, 2);
  } else if (t->opcode == OpTypeMatrix) {
    v.components = 4;
    return;
  } else {
    v.components = 1;
    scalar = m.word(*t, 1);
  }
  const Instruction* s = m.def(scalar);
  if (!s) return;
  if (s->opcode == OpTypeInt) {
    v.isInteger = true;
    v.isSigned = m.word(*s, 3) != 0;
  } else if (s->opcode == OpTypeBool) {
    v.isInteger = true;
  }
}

uint32_t locationsOf(const Module& m, uint32_t typeId, int depth = 0) {
  const Instruction* t = m.def(typeId);
  if (!t || depth > 16) return 1;
  switch (t->opcode) {
    case OpTypeMatrix: return std::max(1u, m.word(*t, 3));
    case OpTypeArray: {
      auto len = m.constants.find(m.word(*t, 3));
      uint32_t n = len == m.constants.end() ? 1 : static_cast<uint32_t>(std::min<uint64_t>(len->second, 64));
      return n * locationsOf(m, m.word(*t, 2), depth + 1);
    }
    default: return 1;
  }
}

}  // namespace

bool interfaceVariables(const Module& m, std::vector<IoVariable>& out) {
  out.clear();
  for (const Instruction& in : m.insts) {
    if (in.opcode != OpEntryPoint) continue;
    // Execution models 1..3 (hull, domain, geometry) see their per-vertex inputs (and the
    // hull its per-vertex outputs) as arrays over the vertices of a patch or primitive.
    const uint32_t model = m.word(in, 1);
    const bool perVertexInputs = model >= 1 && model <= 3;
    const bool perVertexOutputs = model == 1;
    // Skip the name literal: it ends in the word holding a zero byte.
    uint32_t i = 3;
    while (i < in.count) {
      uint32_t w = m.word(in, i++);
      if ((w & 0xff000000u) == 0 || (w & 0xff0000u) == 0 || (w & 0xff00u) == 0 || (w & 0xffu) == 0) break;
    }
    for (; i < in.count; ++i) {
      uint32_t id = m.word(in, i);
      uint32_t storage = m.variableStorage(id);
      if (storage != ScInput && storage != ScOutput) continue;
      IoVariable v;
      v.id = id;
      v.storage = storage;
      v.semantic = m.decorationString(id, DecUserSemantic);
      for (char& c : v.semantic) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      v.builtin = m.hasDecoration(id, DecBuiltIn);
      v.patch = m.hasDecoration(id, DecPatch);
      v.hasLocation = m.decorationValue(id, DecLocation, v.location);
      describeComponents(m, m.variableType(id), v);
      uint32_t type = m.variableType(id);
      bool perVertex = !v.patch && !v.builtin && (storage == ScInput ? perVertexInputs : perVertexOutputs);
      const Instruction* t = m.def(type);
      if (perVertex && t && t->opcode == OpTypeArray) type = m.word(*t, 2);
      v.locationCount = locationsOf(m, type);
      out.push_back(v);
    }
    return true;  // first entry point only; the front end emits one
  }
  return false;
}

bool setLocation(Module& m, uint32_t id, uint32_t location) {
  for (const Instruction& in : m.insts) {
    if (in.opcode == OpDecorate && in.count >= 4 && m.word(in, 1) == id && m.word(in, 2) == DecLocation) {
      m.wordRef(in, 3) = location;
      return true;
    }
  }
  return false;
}

}  // namespace hlsl::spvw
