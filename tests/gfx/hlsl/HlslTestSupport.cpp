#include "tests/gfx/hlsl/HlslTestSupport.h"

#include <gtest/gtest.h>
#include <spirv-tools/libspirv.hpp>

#include "gfx/hlsl/SpirvWords.h"

namespace hlsltest {

bool spirvValid(const std::vector<uint32_t>& spirv, std::string& log) {
  spvtools::SpirvTools tools(SPV_ENV_VULKAN_1_3);
  tools.SetMessageConsumer([&log](spv_message_level_t, const char*, const spv_position_t&, const char* m) {
    log += m;
    log += "\n";
  });
  spvtools::ValidatorOptions options;
  options.SetScalarBlockLayout(true);
  return tools.Validate(spirv.data(), spirv.size(), options);
}

hlsl::CompileResult compileValid(hlsl::Stage stage, const std::string& profile, const std::string& source,
                                 const std::string& entry) {
  hlsl::CompileResult r = hlsl::compile(stage, profile, source, entry);
  EXPECT_TRUE(r.ok) << r.messages;
  if (r.ok) {
    std::string log;
    EXPECT_TRUE(spirvValid(r.spirv, log)) << log;
  }
  return r;
}

hlsl::Reflection reflectSource(hlsl::Stage stage, const std::string& profile, const std::string& source,
                               const std::string& entry) {
  hlsl::Reflection refl;
  hlsl::CompileResult r = compileValid(stage, profile, source, entry);
  if (!r.ok) return refl;
  std::string error;
  EXPECT_TRUE(hlsl::reflect(r.spirv, refl, &error)) << error;
  return refl;
}

std::vector<uint32_t> memberOffsets(const std::vector<uint32_t>& spirv, const std::string& structName) {
  std::vector<uint32_t> words = spirv;
  hlsl::spvw::Module m;
  std::vector<uint32_t> offsets;
  if (!hlsl::spvw::parse(words, m)) return offsets;
  for (const auto& [id, name] : m.names) {
    const hlsl::spvw::Instruction* t = m.def(id);
    if (name != structName || !t || t->opcode != hlsl::spvw::OpTypeStruct) continue;
    for (uint32_t i = 0; i + 2 < t->count; ++i) {
      uint32_t v = UINT32_MAX;
      m.memberDecorationValue(id, i, hlsl::spvw::DecOffset, v);
      offsets.push_back(v);
    }
    break;
  }
  return offsets;
}

const hlsl::CBufferInfo* findCBuffer(const hlsl::Reflection& r, const std::string& name) {
  for (const auto& cb : r.cbuffers)
    if (cb.name == name) return &cb;
  return nullptr;
}

const hlsl::ResourceBinding* findResource(const hlsl::Reflection& r, const std::string& name) {
  for (const auto& res : r.resources)
    if (res.name == name) return &res;
  return nullptr;
}

}  // namespace hlsltest
