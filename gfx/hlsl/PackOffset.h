#pragma once
// Finds explicit packoffset placements in preprocessed HLSL text, so that the layout pass
// can tell hand-placed members from ones the compiler packs. Internal to the front end.
#include <string>

#include "gfx/hlsl/SpirvWords.h"

namespace hlsl {

// Scans every cbuffer/tbuffer body of `text` (already preprocessed) for members declared
// with ": packoffset(cN[.xyzw])". Returns false with a message on a malformed packoffset.
bool scanPackOffsets(const std::string& text, spvw::PackOffsets& out, std::string& error);

}  // namespace hlsl
