#pragma once
// Parameter tables: an operator declares its inputs once, as a table of rows in the order
// the production file stores them, and reads them through an enum of the same order.
//
//     class CubeOp : public Operator {
//      public:
//       enum In : uint32_t { PosX, PosY, Size, Mode, Count };
//       static constexpr ParamDecl kParams[] = {
//           param::number("Position.X", 0.0f), param::number("Position.Y", 0.0f),
//           param::number("Size", 1.0f), param::choice("Mode", 0, "Solid|Wire"),
//       };
//       static_assert(std::size(kParams) == In::Count);
//       CubeOp() : Operator(CategoryGeometry) { declareInputs(kParams); ... }
//     };
//
// and in the function: evalFloat(sources, CubeOp::Size, t, ctx). With a hundred operators a
// misplaced index is the likeliest fault; the static_assert and one table keep the two in step.
#include <cstdint>

#include "engine/Port.h"

struct ParamDecl {
  const char* name = "";
  PortType type = PortType::Float;
  float def = 0.0f;              // Float parameters
  uint32_t flags = 0;            // PortFlags
  const char* choices = nullptr; // enum parameters: "Ring|Point|Disc", value i picks choice i
  const char* text = "";         // default of a Text parameter
};

namespace param {
constexpr ParamDecl number(const char* name, float def, uint32_t flags = 0) {
  return {name, PortType::Float, def, flags, nullptr, ""};
}
constexpr ParamDecl integer(const char* name, float def) { return number(name, def, PortFlagInt); }
constexpr ParamDecl boolean(const char* name, bool def) { return number(name, def ? 1.0f : 0.0f, PortFlagBool); }
constexpr ParamDecl choice(const char* name, float def, const char* choices) {
  return {name, PortType::Float, def, PortFlagEnum, choices, ""};
}
constexpr ParamDecl text(const char* name, const char* def, uint32_t flags = 0) {
  return {name, PortType::Text, 0.0f, flags, nullptr, def};
}
// A file path relative to the working directory (mesh, picture, recording).
constexpr ParamDecl path(const char* name, const char* def = "") { return text(name, def, PortFlagDataPath); }
// A shader file name (without folder and extension).
constexpr ParamDecl shader(const char* name, const char* def = "") { return text(name, def, PortFlagShaderPath); }
constexpr ParamDecl scene(const char* name, uint32_t flags = 0) {
  return {name, PortType::Scene, 0.0f, flags, nullptr, ""};
}
constexpr ParamDecl image(const char* name, uint32_t flags = 0) {
  return {name, PortType::Image, 0.0f, flags, nullptr, ""};
}
constexpr ParamDecl generic(const char* name, uint32_t flags = 0) {
  return {name, PortType::Generic, 0.0f, flags, nullptr, ""};
}
}  // namespace param
