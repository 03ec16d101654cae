#pragma once
// What validation and reflection concluded about SPIR-V modules, kept per module until the
// shader cache is cleared. Both depend on the module's words alone, and a program's module
// goes through them more than once on its way to the driver (the compiled road validated
// each module three times and reflected it twice). Modules are compared word for word: a
// damaged file never passes as a module seen before.
#include <cstdint>
#include <vector>

namespace hlsl {

struct Reflection;

bool knownValid(const std::vector<uint32_t>& words);
void rememberValid(const std::vector<uint32_t>& words);
// Copies a reflection remembered for these words into `out`; false when there is none.
bool knownReflection(const std::vector<uint32_t>& words, Reflection& out);
void rememberReflection(const std::vector<uint32_t>& words, const Reflection& reflection);
// Forgets everything (clearShaderCache calls it, so a cold load is cold again).
void forgetCheckedModules();

}  // namespace hlsl
