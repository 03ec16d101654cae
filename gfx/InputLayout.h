#pragma once
// Vertex input layouts from compact 32-bit element codes.
//
// Element code:
//   bits 0-4   semantic: 1 POSITION, 2 NORMAL, 3 TANGENT, 4 BLENDINDICES, 5 BLENDWEIGHT,
//              6 BINORMAL, 8-11 COLOR0-3, 16-23 TEXCOORD0-7, 24-31 WORLD0-7
//   bits 8-10  vertex buffer slot 0-7
//   bits 16-19 data type (0: the semantic's default type), see inputTypeInfo()
//   bit 20     per-instance data (step rate 1), else per-vertex
// A code list ends with 0.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Device;

// What a data type code stands for.
struct InputTypeInfo {
  uint32_t dxgiFormat;   // Direct3D (DXGI) format number
  uint32_t bytes;        // size of one element in the vertex
  const char* hlslType;  // type text in the generated shader, ends with a blank
};

// Type codes 1-11; null for anything else.
const InputTypeInfo* inputTypeInfo(uint32_t typeCode);

// One element code taken apart, with its place in the vertex.
struct InputElement {
  const char* semanticName = nullptr;  // "POSITION", "COLOR", "TEXCOORD", "WORLD", ...
  uint32_t semanticIndex = 0;
  std::string semanticText;            // as written in HLSL: "POSITION", "COLOR0", "TEXCOORD3"
  uint32_t typeCode = 0;               // 1-11, after the semantic's default was applied
  uint32_t dxgiFormat = 0;
  uint32_t bytes = 0;
  uint32_t slot = 0;                   // vertex buffer 0-7
  uint32_t offset = 0;                 // running byte offset within its slot
  bool perInstance = false;
};

constexpr uint32_t kInputSlots = 8;

// Decodes a zero-terminated code list. Each slot counts its offsets separately;
// strides[s] is the byte size of one vertex of slot s. Returns false with a message for
// an invalid semantic (0, 7, 12-15) or data type (above 11).
bool decodeInputElements(const uint32_t* codes, std::vector<InputElement>& elements,
                         uint32_t strides[kInputSlots], std::string* error = nullptr);

// The tiny vertex shader whose signature stands for the layout: one input per element,
// named _0, _1, ... in list order, and a position output.
std::string inputLayoutShaderText(const std::vector<InputElement>& elements);

namespace gfxbackend {
class VertexLayout;
}

class InputLayout {
 public:
  InputLayout() = default;
  ~InputLayout();
  InputLayout(const InputLayout&) = delete;
  InputLayout& operator=(const InputLayout&) = delete;

  gfxbackend::VertexLayout* layout = nullptr;  // what DeviceContext::setInputLayout takes
  uint32_t strides[kInputSlots] = {};  // byte size of one vertex per slot (slot 1: per-instance stride)
  std::vector<uint32_t> codes;          // the element codes, without the terminating 0
  std::vector<InputElement> elements;
  Device* device = nullptr;
};

// Builds a layout from a zero-terminated code list. The generated shader is compiled to
// prove the elements form a valid vertex signature; a failing compile is unrecoverable.
// Invalid codes give null with a message.
InputLayout* createInputLayout(Device* device, const uint32_t* codes);
