#include <spirv_cross_c.h>

#include <algorithm>

#include "gfx/hlsl/HlslCompiler.h"
#include "gfx/hlsl/ModuleChecks.h"
#include "gfx/hlsl/SpirvWords.h"

namespace hlsl {

namespace {

uint32_t roundUp16(uint32_t v) { return (v + 15) / 16 * 16; }

struct SpvcContext {
  spvc_context ctx = nullptr;
  std::string lastError;
  ~SpvcContext() {
    if (ctx) spvc_context_destroy(ctx);
  }
};

// Components and scalar kind of a storage-image format, for typed UAV views.
void describeFormat(uint32_t format, ResourceBinding& r) {
  r.spirvFormat = format;
  switch (format) {
    case SpvImageFormatRgba32f: case SpvImageFormatRgba16f: case SpvImageFormatRgba8: case SpvImageFormatRgba16:
    case SpvImageFormatRgba8Snorm: case SpvImageFormatRgba16Snorm:
      r.elementComponents = 4; r.elementType = 0; break;
    case SpvImageFormatRg32f: case SpvImageFormatRg16f: case SpvImageFormatRg8: case SpvImageFormatRg16:
      r.elementComponents = 2; r.elementType = 0; break;
    case SpvImageFormatR32f: case SpvImageFormatR16f: case SpvImageFormatR8: case SpvImageFormatR16:
      r.elementComponents = 1; r.elementType = 0; break;
    case SpvImageFormatR11fG11fB10f:
      r.elementComponents = 3; r.elementType = 0; break;
    case SpvImageFormatRgba32i: case SpvImageFormatRgba16i: case SpvImageFormatRgba8i:
      r.elementComponents = 4; r.elementType = 1; break;
    case SpvImageFormatRg32i: case SpvImageFormatRg16i: case SpvImageFormatRg8i:
      r.elementComponents = 2; r.elementType = 1; break;
    case SpvImageFormatR32i: case SpvImageFormatR16i: case SpvImageFormatR8i:
      r.elementComponents = 1; r.elementType = 1; break;
    case SpvImageFormatRgba32ui: case SpvImageFormatRgba16ui: case SpvImageFormatRgba8ui:
      r.elementComponents = 4; r.elementType = 2; break;
    case SpvImageFormatRg32ui: case SpvImageFormatRg16ui: case SpvImageFormatRg8ui:
      r.elementComponents = 2; r.elementType = 2; break;
    case SpvImageFormatR32ui: case SpvImageFormatR16ui: case SpvImageFormatR8ui:
      r.elementComponents = 1; r.elementType = 2; break;
    default:
      r.elementComponents = 0; break;
  }
}

ImageDim toDim(SpvDim d) {
  switch (d) {
    case SpvDim1D: return ImageDim::Dim1D;
    case SpvDim2D: return ImageDim::Dim2D;
    case SpvDim3D: return ImageDim::Dim3D;
    case SpvDimCube: return ImageDim::Cube;
    case SpvDimBuffer: return ImageDim::Buffer;
    default: return ImageDim::None;
  }
}

// Does the code ever decrement the counter variable? That is what Consume() does.
bool decrementsCounter(const spvw::Module& m, uint32_t counterVar) {
  auto basedOnCounter = [&](uint32_t ptr) {
    if (ptr == counterVar) return true;
    const spvw::Instruction* in = m.def(ptr);
    return in && in->opcode == spvw::OpAccessChain && in->count >= 4 && m.word(*in, 3) == counterVar;
  };
  auto constantIs = [&](uint32_t id, uint32_t v) {
    auto it = m.constants.find(id);
    return it != m.constants.end() && static_cast<uint32_t>(it->second) == v;
  };
  for (const spvw::Instruction& in : m.insts) {
    if (in.count < 4 || !basedOnCounter(m.word(in, 3))) continue;
    if (in.opcode == spvw::OpAtomicIDecrement) return true;
    if (in.opcode == spvw::OpAtomicIAdd && in.count >= 7 && constantIs(m.word(in, 6), 0xFFFFFFFFu)) return true;
    if (in.opcode == spvw::OpAtomicISub && in.count >= 7 && constantIs(m.word(in, 6), 1u)) return true;
  }
  return false;
}

uint32_t runtimeArrayStride(const spvw::Module& m, uint32_t structId) {
  const spvw::Instruction* t = m.def(structId);
  if (!t || t->opcode != spvw::OpTypeStruct || t->count < 3) return 0;
  uint32_t last = m.word(*t, t->count - 1);
  const spvw::Instruction* a = m.def(last);
  uint32_t stride = 0;
  if (a && a->opcode == spvw::OpTypeRuntimeArray) m.decorationValue(last, spvw::DecArrayStride, stride);
  return stride;
}

void fail(std::string* error, const std::string& text) {
  if (error) *error = text;
}

}  // namespace

namespace {
bool reflectOnce(const std::vector<uint32_t>& spirv, Reflection& out, std::string* error);
}

bool reflect(const std::vector<uint32_t>& spirv, Reflection& out, std::string* error) {
  if (knownReflection(spirv, out)) return true;
  if (!reflectOnce(spirv, out, error)) return false;
  rememberReflection(spirv, out);
  return true;
}

namespace {

bool reflectOnce(const std::vector<uint32_t>& spirv, Reflection& out, std::string* error) {
  out = Reflection();
  // Compiled files come from disk: check them before anything trusts their structure.
  std::string validation;
  if (!validateSpirv(spirv, &validation)) {
    fail(error, "reflection: invalid SPIR-V: " + validation.substr(0, validation.find('\n')));
    return false;
  }
  std::vector<uint32_t> words = spirv;  // the word walker needs a mutable module
  spvw::Module m;
  if (!spvw::parse(words, m)) {
    fail(error, "reflection: " + m.error);
    return false;
  }

  SpvcContext c;
  if (spvc_context_create(&c.ctx) != SPVC_SUCCESS) {
    fail(error, "reflection: cannot create a SPIRV-Cross context");
    return false;
  }
  spvc_context_set_error_callback(
      c.ctx, [](void* user, const char* text) { static_cast<SpvcContext*>(user)->lastError = text; }, &c);
  spvc_parsed_ir ir = nullptr;
  spvc_compiler comp = nullptr;
  spvc_resources res = nullptr;
  spvc_set active = nullptr;  // like Direct3D, list only what the entry point uses
  if (spvc_context_parse_spirv(c.ctx, spirv.data(), spirv.size(), &ir) != SPVC_SUCCESS ||
      spvc_context_create_compiler(c.ctx, SPVC_BACKEND_NONE, ir, SPVC_CAPTURE_MODE_TAKE_OWNERSHIP, &comp) !=
          SPVC_SUCCESS ||
      spvc_compiler_get_active_interface_variables(comp, &active) != SPVC_SUCCESS ||
      spvc_compiler_create_shader_resources_for_active_variables(comp, &res, active) != SPVC_SUCCESS) {
    fail(error, "reflection: SPIRV-Cross rejected the module: " + c.lastError);
    return false;
  }

  SpvExecutionModel model = spvc_compiler_get_execution_model(comp);
  if (static_cast<uint32_t>(model) > SpvExecutionModelGLCompute) {
    fail(error, "reflection: unsupported execution model " + std::to_string(static_cast<int>(model)));
    return false;
  }
  out.stage = static_cast<Stage>(model);  // SPIR-V numbers the six stages as we do
  const spvc_entry_point* entries = nullptr;
  size_t entryCount = 0;
  if (spvc_compiler_get_entry_points(comp, &entries, &entryCount) == SPVC_SUCCESS && entryCount > 0)
    out.entry = entries[0].name;
  if (out.stage == Compute)
    for (unsigned i = 0; i < 3; ++i)
      out.localSize[i] = std::max(1u, spvc_compiler_get_execution_mode_argument_by_index(comp, SpvExecutionModeLocalSize, i));

  auto list = [&](spvc_resource_type type, const spvc_reflected_resource*& items, size_t& count) {
    items = nullptr;
    count = 0;
    spvc_resources_get_resource_list_for_type(res, type, &items, &count);
  };
  const spvc_reflected_resource* items;
  size_t count;

  // Constant buffers, with Direct3D sizes computed from the member types.
  list(SPVC_RESOURCE_TYPE_UNIFORM_BUFFER, items, count);
  for (size_t i = 0; i < count; ++i) {
    CBufferInfo cb;
    cb.binding = spvc_compiler_get_decoration(comp, items[i].id, SpvDecorationBinding);
    cb.slot = cb.binding - kCBufferBase;
    cb.name = spvc_compiler_get_name(comp, items[i].base_type_id);
    if (cb.name.empty()) cb.name = items[i].name;
    if (cb.name == "$Global") cb.name = "$Globals";  // Direct3D's name for loose globals
    spvc_type type = spvc_compiler_get_type_handle(comp, items[i].base_type_id);
    unsigned members = spvc_type_get_num_member_types(type);
    uint32_t end = 0;
    for (unsigned k = 0; k < members; ++k) {
      CBufferVariable v;
      v.name = spvc_compiler_get_member_name(comp, items[i].base_type_id, k);
      unsigned offset = 0;
      spvc_compiler_type_struct_member_offset(comp, type, k, &offset);
      v.offset = offset;
      uint32_t memberType = spvc_type_get_member_type(type, k);
      bool rowMajor = m.hasMemberDecoration(items[i].base_type_id, k, spvw::DecRowMajor);
      spvw::D3DSize s = spvw::d3dSize(m, memberType, rowMajor);
      if (!s.ok) {
        fail(error, "reflection: cbuffer " + cb.name + " member " + v.name + " has no constant-buffer layout");
        return false;
      }
      v.size = s.size;
      end = std::max(end, v.offset + v.size);
      cb.variables.push_back(v);
    }
    cb.size = roundUp16(end);
    std::stable_sort(cb.variables.begin(), cb.variables.end(),
                     [](const CBufferVariable& a, const CBufferVariable& b) { return a.offset < b.offset; });
    out.cbuffers.push_back(std::move(cb));
  }
  std::sort(out.cbuffers.begin(), out.cbuffers.end(),
            [](const CBufferInfo& a, const CBufferInfo& b) { return a.slot < b.slot; });

  auto imageInfo = [&](const spvc_reflected_resource& r, ResourceBinding& b) {
    spvc_type t = spvc_compiler_get_type_handle(comp, r.base_type_id);
    b.dim = toDim(spvc_type_get_image_dimension(t));
    b.arrayed = spvc_type_get_image_arrayed(t) != 0;
    const spvw::Instruction* img = m.def(r.base_type_id);
    if (img && img->opcode == spvw::OpTypeImage && img->count >= 9) describeFormat(m.word(*img, 8), b);
    if (b.elementComponents == 0) {
      const spvc_basetype sampled =
          spvc_type_get_basetype(spvc_compiler_get_type_handle(comp, spvc_type_get_image_sampled_type(t)));
      b.elementType = sampled == SPVC_BASETYPE_INT32 ? 1 : sampled == SPVC_BASETYPE_UINT32 ? 2 : 0;
    }
  };
  auto base = [&](const spvc_reflected_resource& r, ResourceKind kind, uint32_t rangeBase) {
    ResourceBinding b;
    b.name = spvc_compiler_get_name(comp, r.id);
    if (b.name.empty()) b.name = r.name;
    b.kind = kind;
    b.binding = spvc_compiler_get_decoration(comp, r.id, SpvDecorationBinding);
    b.reg = b.binding >= rangeBase ? b.binding - rangeBase : 0;
    // Arrays of resources take consecutive registers.
    spvc_type full = spvc_compiler_get_type_handle(comp, r.type_id);
    for (unsigned dim = 0; dim < spvc_type_get_num_array_dimensions(full); ++dim)
      if (spvc_type_array_dimension_is_literal(full, dim))
        b.count *= std::max(1u, unsigned(spvc_type_get_array_dimension(full, dim)));
    return b;
  };

  list(SPVC_RESOURCE_TYPE_SEPARATE_IMAGE, items, count);
  for (size_t i = 0; i < count; ++i) {
    ResourceBinding b = base(items[i], ResourceKind::Texture, kTextureBase);
    imageInfo(items[i], b);
    if (b.dim == ImageDim::Buffer) b.kind = ResourceKind::Buffer;
    if (b.kind == ResourceKind::Texture) b.elementComponents = 0, b.spirvFormat = 0;  // keeps elementType
    out.resources.push_back(b);
  }
  list(SPVC_RESOURCE_TYPE_SEPARATE_SAMPLERS, items, count);
  for (size_t i = 0; i < count; ++i) out.resources.push_back(base(items[i], ResourceKind::Sampler, kSamplerBase));
  list(SPVC_RESOURCE_TYPE_STORAGE_IMAGE, items, count);
  for (size_t i = 0; i < count; ++i) {
    ResourceBinding b = base(items[i], ResourceKind::RWTexture, kUavBase);
    imageInfo(items[i], b);
    if (b.dim == ImageDim::Buffer) b.kind = ResourceKind::RWBuffer;
    out.resources.push_back(b);
  }

  list(SPVC_RESOURCE_TYPE_STORAGE_BUFFER, items, count);
  std::vector<uint32_t> counters;  // counter variables are reported through counterBinding
  for (size_t i = 0; i < count; ++i) {
    spvc_variable_id counter = 0;
    if (spvc_compiler_buffer_get_hlsl_counter_buffer(comp, items[i].id, &counter)) counters.push_back(counter);
  }
  for (size_t i = 0; i < count; ++i) {
    const spvc_reflected_resource& r = items[i];
    if (std::find(counters.begin(), counters.end(), r.id) != counters.end()) continue;
    bool readOnly = m.hasMemberDecoration(r.base_type_id, 0, spvw::DecNonWritable) ||
                    m.hasDecoration(r.id, spvw::DecNonWritable);
    ResourceBinding b = readOnly ? base(r, ResourceKind::StructuredBuffer, kTextureBase)
                                 : base(r, ResourceKind::RWStructuredBuffer, kUavBase);
    b.structStride = runtimeArrayStride(m, r.base_type_id);
    spvc_variable_id counter = 0;
    if (spvc_compiler_buffer_get_hlsl_counter_buffer(comp, r.id, &counter)) {
      b.counterBinding = spvc_compiler_get_decoration(comp, counter, SpvDecorationBinding);
      b.kind = decrementsCounter(m, counter) ? ResourceKind::ConsumeBuffer : ResourceKind::AppendBuffer;
    }
    out.resources.push_back(b);
  }
  std::sort(out.resources.begin(), out.resources.end(),
            [](const ResourceBinding& a, const ResourceBinding& b) { return a.binding < b.binding; });
  // A texture sampled both with and without comparison becomes two aliased variables.
  out.resources.erase(std::unique(out.resources.begin(), out.resources.end(),
                                  [](const ResourceBinding& a, const ResourceBinding& b) {
                                    return a.binding == b.binding && a.name == b.name && a.kind == b.kind;
                                  }),
                      out.resources.end());

  // Stage inputs and outputs with their semantics.
  std::vector<spvw::IoVariable> io;
  spvw::interfaceVariables(m, io);
  for (const spvw::IoVariable& v : io) {
    StageVariable s;
    spvw::splitSemantic(v.semantic, s.semantic, s.semanticIndex);
    s.location = v.location;
    s.builtin = v.builtin;
    s.components = v.components;
    s.isInteger = v.isInteger;
    s.isSigned = v.isSigned;
    (v.storage == spvw::ScInput ? out.inputs : out.outputs).push_back(s);
  }
  return true;
}

}  // namespace

}  // namespace hlsl
