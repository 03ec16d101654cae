#include "gfx/InputLayout.h"

#include <cstdio>

#include "gfx/DeviceContext.h"
#include "gfx/FatalError.h"
#include "gfx/hlsl/HlslCompiler.h"

namespace {

// Index = type code. Formats in Direct3D (DXGI) numbering.
const InputTypeInfo kTypes[12] = {
    {0, 0, nullptr},
    {41, 4, "float "},   // R32_FLOAT
    {16, 8, "float2 "},  // R32G32_FLOAT
    {6, 12, "float3 "},  // R32G32B32_FLOAT
    {2, 16, "float4 "},  // R32G32B32A32_FLOAT
    {34, 4, "float2 "},  // R16G16_FLOAT
    {10, 8, "float4 "},  // R16G16B16A16_FLOAT
    {28, 4, "float4 "},  // R8G8B8A8_UNORM
    {30, 4, "uint4 "},   // R8G8B8A8_UINT
    {37, 4, "float2 "},  // R16G16_SNORM
    {13, 8, "float4 "},  // R16G16B16A16_SNORM
    {42, 4, "uint "},    // R32_UINT
};

struct SemanticInfo {
  const char* name;
  uint32_t index;
  bool indexed;  // written with its index in HLSL ("COLOR0")
  uint32_t defaultType;
};

bool semanticInfo(uint32_t code, SemanticInfo& out) {
  switch (code) {
    case 1: out = {"POSITION", 0, false, 3}; return true;
    case 2: out = {"NORMAL", 0, false, 3}; return true;
    case 3: out = {"TANGENT", 0, false, 3}; return true;
    case 4: out = {"BLENDINDICES", 0, false, 4}; return true;
    case 5: out = {"BLENDWEIGHT", 0, false, 4}; return true;
    case 6: out = {"BINORMAL", 0, false, 3}; return true;
    default: break;
  }
  if (code >= 8 && code <= 11) { out = {"COLOR", code - 8, true, 7}; return true; }
  if (code >= 16 && code <= 23) { out = {"TEXCOORD", code - 16, true, 2}; return true; }
  if (code >= 24 && code <= 31) { out = {"WORLD", code - 24, true, 4}; return true; }
  return false;
}

}  // namespace

const InputTypeInfo* inputTypeInfo(uint32_t typeCode) {
  if (typeCode == 0 || typeCode >= sizeof(kTypes) / sizeof(kTypes[0])) return nullptr;
  return &kTypes[typeCode];
}

bool decodeInputElements(const uint32_t* codes, std::vector<InputElement>& elements,
                         uint32_t strides[kInputSlots], std::string* error) {
  elements.clear();
  for (uint32_t s = 0; s < kInputSlots; ++s) strides[s] = 0;
  if (!codes) return true;
  char message[160];
  for (const uint32_t* c = codes; *c != 0; ++c) {
    const uint32_t code = *c;
    SemanticInfo sem;
    if (!semanticInfo(code & 0x1F, sem)) {
      std::snprintf(message, sizeof(message), "invalid semantic %u in input element code 0x%x",
                    code & 0x1F, code);
      if (error) *error = message;
      return false;
    }
    uint32_t type = (code >> 16) & 0xF;
    if (type == 0) type = sem.defaultType;
    const InputTypeInfo* info = inputTypeInfo(type);
    if (!info) {
      std::snprintf(message, sizeof(message), "invalid data type %u in input element code 0x%x",
                    type, code);
      if (error) *error = message;
      return false;
    }
    InputElement e;
    e.semanticName = sem.name;
    e.semanticIndex = sem.index;
    e.semanticText = sem.indexed ? std::string(sem.name) + std::to_string(sem.index) : sem.name;
    e.typeCode = type;
    e.dxgiFormat = info->dxgiFormat;
    e.bytes = info->bytes;
    e.slot = (code >> 8) & 0x7;
    e.offset = strides[e.slot];
    e.perInstance = (code & 0x100000) != 0;
    strides[e.slot] += e.bytes;
    elements.push_back(std::move(e));
  }
  return true;
}

std::string inputLayoutShaderText(const std::vector<InputElement>& elements) {
  std::string text = "void main(\n";
  char line[96];
  for (size_t i = 0; i < elements.size(); ++i) {
    std::snprintf(line, sizeof(line), " _%d : ", static_cast<int>(i));
    text += "  in ";
    text += inputTypeInfo(elements[i].typeCode)->hlslType;
    text += line;
    text += elements[i].semanticText;
    text += ",\n";
  }
  text += "  out float4 pos:SV_POSITION\n";
  text += "){ pos=0; }\n";
  return text;
}

InputLayout::~InputLayout() { delete layout; }

InputLayout* createInputLayout(Device* device, const uint32_t* codes) {
  auto result = std::make_unique<InputLayout>();
  std::string error;
  if (!decodeInputElements(codes, result->elements, result->strides, &error)) {
    logMessage("Failed to create input layout: %s\n", error.c_str());
    return nullptr;
  }
  for (const uint32_t* c = codes; c && *c; ++c) result->codes.push_back(*c);
  result->device = device;

  // The generated shader proves the elements form a valid vertex signature; the backend
  // matches them to vertex shader inputs by semantic when it builds a pipeline.
  const std::string text = inputLayoutShaderText(result->elements);
  hlsl::CompileResult compiled = hlsl::compile(hlsl::Vertex, "vs_4_0", text, "main");
  if (!compiled.ok) {
    logMessage("%s", compiled.messages.c_str());
    fatalError("Failed to compile the input layout shader");
  }

  if (device) {
    std::vector<InputElementDesc> descs;
    descs.reserve(result->elements.size());
    for (const InputElement& e : result->elements) {
      InputElementDesc d;
      d.semanticName = e.semanticName;
      d.semanticIndex = e.semanticIndex;
      d.format = static_cast<DxgiFormat>(e.dxgiFormat);
      d.inputSlot = e.slot;
      d.alignedByteOffset = e.offset;
      d.perInstance = e.perInstance;
      d.instanceStepRate = e.perInstance ? 1 : 0;
      descs.push_back(d);
    }
    result->layout = createVertexLayout(device, descs.data(), uint32_t(descs.size()));
    if (!result->layout) fatalError("Failed to create input layout");
  }
  return result.release();
}
