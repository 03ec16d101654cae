// The ready-made "ImageShader" files: both entry points compile and the file reads only
// what the operator sets, at the sizes it writes them (anything else would stay zero).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "gfx/hlsl/HlslCompiler.h"

namespace {

const std::map<std::string, uint32_t> kSet = {
    {"gTime", 4},   {"gResolution", 8}, {"gRegionScale", 8}, {"gRegionOffset", 8},
    {"gParam1", 16}, {"gParam2", 16},   {"gParam3", 16},
};

}  // namespace

TEST(ImageShaderFiles, CompileAndReadOnlyWhatTheOperatorSets) {
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator("data/shaders/imageShaders"))
    if (e.path().extension() == ".hlsl" && e.path().stem() != "engraver")  // the Engraver's own file
      files.push_back(e.path().generic_string());
  std::sort(files.begin(), files.end());
  ASSERT_GE(files.size(), 2u);
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    std::string source;
    ASSERT_TRUE(hlsl::readSourceFile(file, source));
    for (auto [stage, profile, entry] : {std::tuple{hlsl::Vertex, "vs_5_0", "VS"}, {hlsl::Pixel, "ps_5_0", "PS"}}) {
      const hlsl::CompileResult r = hlsl::compile(stage, profile, source, entry, file);
      ASSERT_TRUE(r.ok) << entry << ": " << r.messages;
      hlsl::Reflection refl;
      ASSERT_TRUE(hlsl::reflect(r.spirv, refl));
      for (const hlsl::CBufferInfo& cb : refl.cbuffers) {
        EXPECT_EQ(cb.slot, 0u);
        for (const hlsl::CBufferVariable& v : cb.variables) {
          auto it = kSet.find(v.name);
          ASSERT_NE(it, kSet.end()) << v.name << " is not set by ImageShader";
          EXPECT_EQ(v.size, it->second) << v.name;
        }
      }
      for (const hlsl::ResourceBinding& res : refl.resources) EXPECT_EQ(res.reg, 0u) << res.name << ": only slot 0 is bound";
    }
  }
}
