#pragma once
// Shared by the image benchmarks: pictures are filled from the CPU as RGBA16F, and a
// hand-made operator puts one into the image result as the input of the effect measured.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/Operator.h"

namespace benchpicture {

// Float to half, truncating; enough for the smooth test pictures the benchmarks draw.
inline uint16_t toHalf(float f) {
  uint32_t x;
  std::memcpy(&x, &f, 4);
  const uint32_t sign = (x >> 16) & 0x8000;
  const int32_t exponent = int32_t((x >> 23) & 0xFF) - 112;
  if (exponent <= 0) return uint16_t(sign);
  if (exponent >= 31) return uint16_t(sign | 0x7C00);
  return uint16_t(sign | (uint32_t(exponent) << 10) | ((x & 0x7FFFFF) >> 13));
}

// Puts a fixed picture into the image result.
class PictureOp : public Operator {
 public:
  explicit PictureOp(Texture* picture) {
    auto fn = std::make_unique<Fn>();
    fn->picture = picture;
    addOutput("ImageOut", PortType::Image, std::move(fn));
    linkOutput();
  }
  class Fn : public Function {
   public:
    void evaluate(float, const std::vector<Port*>&, Context& ctx) override { ctx.imageResult = picture; }
    Texture* picture = nullptr;
  };
};

}  // namespace benchpicture
