#pragma once
#include <string>
#include <vector>

#include "gfx/hlsl/HlslCompiler.h"

namespace hlsltest {

// Compiles and checks the module with the SPIR-V validator (Vulkan 1.3, scalar block
// layout); fails the calling test with the messages when either step fails.
hlsl::CompileResult compileValid(hlsl::Stage stage, const std::string& profile, const std::string& source,
                                 const std::string& entry);
// compileValid + reflect.
hlsl::Reflection reflectSource(hlsl::Stage stage, const std::string& profile, const std::string& source,
                               const std::string& entry);
bool spirvValid(const std::vector<uint32_t>& spirv, std::string& log);

// Offsets decorated on the members of the struct type named `structName`.
std::vector<uint32_t> memberOffsets(const std::vector<uint32_t>& spirv, const std::string& structName);
const hlsl::CBufferInfo* findCBuffer(const hlsl::Reflection& r, const std::string& name);
const hlsl::ResourceBinding* findResource(const hlsl::Reflection& r, const std::string& name);

}  // namespace hlsltest
