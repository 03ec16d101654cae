#pragma once
// Where a pixel shader takes derivatives (ddx, ddy, fwidth) in control flow that pixels of one
// 2x2 quad may take differently. Such derivatives are undefined: GPUs compute them from
// neighbours that did not run the code, and surfaces sparkle along the edges where the
// branch changes. The CPU driver happens to give sensible values, so this is checked on the
// SPIR-V instead of on pictures.
//
// The analysis is conservative: a value is per-pixel when it comes from a stage input, from a
// texture read at per-pixel coordinates, from an atomic, or from anything computed from such a
// value; a block is divergent when a per-pixel condition decides whether it runs (inside the
// construct of that branch, after an early return or break taken by some pixels only, or
// inside a function called from divergent code). Constants, constant buffers and resources
// are uniform.
#include <cstdint>
#include <string>
#include <vector>

namespace hlsl {

struct DivergentDerivative {
  uint32_t opcode = 0;    // OpDPdx, OpDPdy, OpFwidth or their fine / coarse forms
  uint32_t resultId = 0;  // the derivative's result id
  std::string function;   // OpName of the function that holds it ("" when unnamed)
};

// The derivatives of the module's fragment entry points that sit in divergent control flow.
// Empty for modules without a fragment entry point, and for malformed modules.
std::vector<DivergentDerivative> divergentDerivatives(const std::vector<uint32_t>& spirv);

}  // namespace hlsl
