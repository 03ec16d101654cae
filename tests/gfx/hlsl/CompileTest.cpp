#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/gfx/hlsl/HlslTestSupport.h"

namespace {

namespace fs = std::filesystem;

TEST(HlslCompile, ErrorsComeBackAsMessagesWithTheSourceName) {
  hlsl::CompileResult r = hlsl::compile(hlsl::Pixel, "ps_5_0",
                                        "float4 PS() : SV_Target {\n  return undefinedThing;\n}\n", "PS",
                                        "data/shaders/broken.hlsl");
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.spirv.empty());
  EXPECT_NE(r.messages.find("undefinedThing"), std::string::npos) << r.messages;
  EXPECT_NE(r.messages.find("broken.hlsl"), std::string::npos) << r.messages;

  // A missing entry point is an error, not an empty module.
  r = hlsl::compile(hlsl::Pixel, "ps_5_0", "float4 PS() : SV_Target { return 1; }", "Missing");
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(r.messages.empty());
}

TEST(HlslCompile, ProfilesMustNameTheStage) {
  const std::string vs = "float4 VS(float3 p : POSITION) : SV_Position { return float4(p, 1); }";
  EXPECT_FALSE(hlsl::compile(hlsl::Vertex, "ps_5_0", vs, "VS").ok);
  EXPECT_FALSE(hlsl::compile(hlsl::Vertex, "vs_9_9", vs, "VS").ok);
  EXPECT_FALSE(hlsl::compile(hlsl::Vertex, "", vs, "VS").ok);
  EXPECT_TRUE(hlsltest::compileValid(hlsl::Vertex, "vs_5_0", vs, "VS").ok);

  hlsl::Stage s;
  EXPECT_TRUE(hlsl::stageFromProfile("hs_5_0", s));
  EXPECT_EQ(s, hlsl::Hull);
  EXPECT_TRUE(hlsl::stageFromProfile("cs_5_0", s));
  EXPECT_EQ(s, hlsl::Compute);
  EXPECT_FALSE(hlsl::stageFromProfile("xs_5_0", s));
  EXPECT_FALSE(hlsl::stageFromProfile("v", s));
}

// Every register class has a fixed binding range; one past its end would silently share the
// bindings of the next class, so the compile fails and names the file and the register.
TEST(HlslCompile, RegistersOutsideTheirBindingRangeAreRefused) {
  struct Case {
    const char* decl;
    const char* use;
    const char* register_;  // expected in the message; null: compiles
    const char* range = nullptr;  // the class's range, which the message gives the author
  };
  const Case cases[] = {
      {"cbuffer C : register(b15) { float4 x; };", "x", nullptr},
      {"cbuffer C : register(b16) { float4 x; };", "x", "b16", "b0-b15"},
      {"Texture2D tex : register(t31); SamplerState smp : register(s15);", "tex.Sample(smp, p.xy)", nullptr},
      {"Texture2D tex : register(t32); SamplerState smp : register(s0);", "tex.Sample(smp, p.xy)", "t32", "t0-t31"},
      {"Texture2D tex[4] : register(t30); SamplerState smp : register(s0);", "tex[1].Sample(smp, p.xy)", "t30", "t0-t31"},
      {"Texture2D tex : register(t0); SamplerState smp : register(s16);", "tex.Sample(smp, p.xy)", "s16", "s0-s15"},
      {"StructuredBuffer<float4> buf : register(t40);", "buf[0]", "t40", "t0-t31"},
      {"RWTexture2D<float4> img : register(u7);", "img[uint2(0, 0)]", nullptr},
      // Declared but unused by this entry: it takes no binding, as with Direct3D.
      {"Texture2D unused : register(t40); cbuffer C : register(b0) { float4 x; };", "x", nullptr},
      {"AppendStructuredBuffer<float4> out_ : register(u0);", "p", nullptr},
  };
  for (const Case& c : cases) {
    const std::string text = std::string(c.decl) + "\nfloat4 PS(float4 p : SV_Position) : SV_Target { return " +
                             c.use + "; }\n";
    hlsl::CompileResult r = hlsl::compile(hlsl::Pixel, "ps_5_0", text, "PS", "data/shaders/regs.hlsl");
    if (!c.register_) {
      EXPECT_TRUE(r.ok) << c.decl << "\n" << r.messages;
      continue;
    }
    EXPECT_FALSE(r.ok) << c.decl;
    EXPECT_NE(r.messages.find("regs.hlsl"), std::string::npos) << r.messages;
    EXPECT_NE(r.messages.find(c.register_), std::string::npos) << r.messages;
    EXPECT_NE(r.messages.find(c.range), std::string::npos) << r.messages;
  }
}

TEST(HlslCompile, ResourcesPassedToFunctionsAreLegalized) {
  const std::string text =
      "Texture2D tex : register(t1); SamplerState smp : register(s2);\n"
      "float4 fetch(Texture2D t, SamplerState s, float2 uv) { return t.Sample(s, uv); }\n"
      "float4 PS(float4 p : SV_Position, float2 uv : TEXCOORD0) : SV_Target { return fetch(tex, smp, uv); }\n";
  hlsl::CompileResult c = hlsltest::compileValid(hlsl::Pixel, "ps_5_0", text, "PS");
  ASSERT_TRUE(c.ok);
  hlsl::Reflection r;
  ASSERT_TRUE(hlsl::reflect(c.spirv, r));
  ASSERT_NE(hlsltest::findResource(r, "tex"), nullptr);
  EXPECT_EQ(hlsltest::findResource(r, "tex")->binding, hlsl::kTextureBase + 1);

  // Resources in structs and local variables resolve statically after legalization...
  const std::string local =
      "Texture2D a : register(t0); Texture2D b : register(t1); SamplerState smp : register(s0);\n"
      "struct Pair { Texture2D t; SamplerState s; };\n"
      "float4 fetch(Pair p, float2 uv) { return p.t.Sample(p.s, uv); }\n"
      "float4 PS(float2 uv : TEXCOORD0) : SV_Target { Pair p; p.t = a; p.s = smp; Texture2D t = b;"
      " return fetch(p, uv) + t.Sample(smp, uv); }\n";
  EXPECT_TRUE(hlsltest::compileValid(hlsl::Pixel, "ps_5_0", local, "PS").ok);
  // ...but a texture chosen at run time cannot be expressed: an error, not a module that
  // would reach the driver.
  const std::string dynamic =
      "Texture2D a : register(t0); Texture2D b : register(t1); SamplerState smp : register(s0);\n"
      "cbuffer C { float sel; };\n"
      "float4 PS(float2 uv : TEXCOORD0) : SV_Target { Texture2D t; if (sel > 0) t = a; else t = b;"
      " return t.Sample(smp, uv); }\n";
  hlsl::CompileResult bad = hlsl::compile(hlsl::Pixel, "ps_5_0", dynamic, "PS", "dyn.hlsl");
  EXPECT_FALSE(bad.ok);
  EXPECT_NE(bad.messages.find("dyn.hlsl"), std::string::npos) << bad.messages;
}

// Includes resolve from the working directory, and nested ones also beside their includer.
class HlslInclude : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = fs::current_path();
    dir_ = fs::temp_directory_path() / ("hlsl-include-" + std::to_string(::getpid()));
    fs::create_directories(dir_ / "data/shaders/common");
    write("data/shaders/common/lighting.hlsli", "#include \"consts.hlsli\"\nfloat4 lit() { return gTint * kScale; }\n");
    write("data/shaders/common/consts.hlsli", "static const float kScale = 2.0;\n");
    write("data/shaders/common/cb.hlsli", "cbuffer PerFrame { float4 gTint; float gTime; };\n");
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(old_);
    fs::remove_all(dir_);
  }
  void write(const std::string& rel, const std::string& text) { std::ofstream(dir_ / rel) << text; }
  fs::path old_, dir_;
};

TEST_F(HlslInclude, ResolvesRelativeToTheWorkingDirectory) {
  const std::string text =
      "#include \"data/shaders/common/cb.hlsli\"\n"
      "#include \"data/shaders/common/lighting.hlsli\"\n"
      "float4 PS() : SV_Target { return lit() + gTime; }\n";
  hlsl::CompileResult c = hlsltest::compileValid(hlsl::Pixel, "ps_5_0", text, "PS");
  ASSERT_TRUE(c.ok);
  hlsl::Reflection r;
  ASSERT_TRUE(hlsl::reflect(c.spirv, r));
  const hlsl::CBufferInfo* cb = hlsltest::findCBuffer(r, "PerFrame");
  ASSERT_NE(cb, nullptr);
  ASSERT_EQ(cb->variables.size(), 2u);
  EXPECT_EQ(cb->variables[1].name, "gTime");
  EXPECT_EQ(cb->variables[1].offset, 16u);

  hlsl::CompileResult missing =
      hlsl::compile(hlsl::Pixel, "ps_5_0", "#include \"nowhere.hlsli\"\nfloat4 PS() : SV_Target { return 0; }\n",
                    "PS", "data/shaders/x.hlsl");
  EXPECT_FALSE(missing.ok);
  EXPECT_NE(missing.messages.find("nowhere.hlsli"), std::string::npos) << missing.messages;

  // A folder is not an include file (it would otherwise read as empty text and compile).
  hlsl::CompileResult folder = hlsl::compile(
      hlsl::Pixel, "ps_5_0", "#include \"data/shaders/common\"\nfloat4 PS() : SV_Target { return 0; }\n", "PS",
      "data/shaders/x.hlsl");
  EXPECT_FALSE(folder.ok);
  EXPECT_NE(folder.messages.find("data/shaders/common"), std::string::npos) << folder.messages;
}

TEST_F(HlslInclude, CyclesAndRunawayChainsAreRefusedNamingTheChain) {
  // Each of these used to compile forever while memory grew.
  write("data/shaders/self.hlsl", "#include \"self.hlsl\"\nfloat4 PS() : SV_Target { return 0; }\n");
  write("data/shaders/a.hlsl", "#include \"b.hlsl\"\nfloat4 PS() : SV_Target { return 0; }\n");
  write("data/shaders/b.hlsl", "#include \"common/../a.hlsl\"\n");
  const struct {
    const char* file;
    const char* chain;
  } cycles[] = {
      {"data/shaders/self.hlsl", "include cycle: data/shaders/self.hlsl -> data/shaders/self.hlsl"},
      {"data/shaders/a.hlsl",
       "include cycle: data/shaders/a.hlsl -> data/shaders/b.hlsl -> data/shaders/common/../a.hlsl"},
  };
  for (const auto& c : cycles) {
    std::string text;
    ASSERT_TRUE(hlsl::readSourceFile(c.file, text));
    hlsl::CompileResult r = hlsl::compile(hlsl::Pixel, "ps_5_0", text, "PS", c.file);
    EXPECT_FALSE(r.ok) << c.file;
    EXPECT_NE(r.messages.find(c.chain), std::string::npos) << r.messages;
  }

  // A chain of distinct files has no cycle, but it ends all the same.
  for (int i = 0; i < 40; ++i)
    write("data/shaders/common/chain" + std::to_string(i) + ".hlsli",
          "#include \"chain" + std::to_string(i + 1) + ".hlsli\"\n");
  hlsl::CompileResult deep = hlsl::compile(
      hlsl::Pixel, "ps_5_0", "#include \"data/shaders/common/chain0.hlsli\"\nfloat4 PS() : SV_Target { return 0; }\n",
      "PS", "deep.hlsl");
  EXPECT_FALSE(deep.ok);
  EXPECT_NE(deep.messages.find("nested deeper than 32 levels: deep.hlsl -> data/shaders/common/chain0.hlsli"),
            std::string::npos)
      << deep.messages;
}

TEST_F(HlslInclude, ATextNamedAfterTheFileItWrapsIsNoCycle) {
  // Tests and tools compile a few definitions followed by the file itself, under the
  // file's name: the file is included once, which is not a cycle.
  write("data/shaders/wrapped.hlsl",
        "#ifndef SCALE\n#define SCALE 1\n#endif\nfloat4 PS() : SV_Target { return SCALE; }\n");
  hlsl::CompileResult r =
      hlsl::compile(hlsl::Pixel, "ps_5_0", "#define SCALE 4\n#include \"data/shaders/wrapped.hlsl\"\n", "PS",
                    "data/shaders/wrapped.hlsl");
  EXPECT_TRUE(r.ok) << r.messages;
}

TEST_F(HlslInclude, PragmaOnceReadsAFileOnlyOnce) {
  // Included twice, and once more through the file that includes itself: one definition.
  write("data/shaders/common/once.hlsli", "#pragma once\n#include \"once.hlsli\"\nfloat twice(float x) { return 2 * x; }\n");
  write("data/shaders/once.hlsl",
        "  #  pragma   once  \n"
        "#include \"once.hlsl\"\n"
        "#include \"common/once.hlsli\"\n"
        "#include \"common/../common/once.hlsli\"\n"
        "float4 PS() : SV_Target { return twice(1); }\n");
  std::string text;
  ASSERT_TRUE(hlsl::readSourceFile("data/shaders/once.hlsl", text));
  hlsl::CompileResult r = hlsl::compile(hlsl::Pixel, "ps_5_0", text, "PS", "data/shaders/once.hlsl");
  EXPECT_TRUE(r.ok) << r.messages;
  // glslang's own note that it does not implement the pragma would mislead.
  EXPECT_EQ(r.messages.find("pragma"), std::string::npos) << r.messages;
}

// Operators name their files with backslashes; an include beside such a file must still be
// found relative to it, not only relative to the working directory.
TEST_F(HlslInclude, ResolvesBesideAFileNamedWithBackslashes) {
  fs::create_directories(dir_ / "data/shaders/custom");
  const std::string text = "#include \"../common/consts.hlsli\"\nfloat4 PS() : SV_Target { return kScale; }\n";
  EXPECT_TRUE(hlsl::compile(hlsl::Pixel, "ps_5_0", text, "PS", "data\\shaders\\custom\\grass.hlsl").ok);
  EXPECT_TRUE(hlsl::compile(hlsl::Pixel, "ps_5_0", text, "PS", "data/shaders/custom/grass.hlsl").ok);
}

TEST_F(HlslInclude, PackOffsetInsideAnIncludedFileIsHonoured) {
  write("data/shaders/common/packed.hlsli",
        "cbuffer Packed { float a : packoffset(c1.w); float4 b : packoffset(c0); };\n");
  const std::string text =
      "#include \"data/shaders/common/packed.hlsli\"\n"
      "float4 PS() : SV_Target { return a + b; }\n";
  hlsl::CompileResult c = hlsltest::compileValid(hlsl::Pixel, "ps_5_0", text, "PS");
  ASSERT_TRUE(c.ok);
  hlsl::Reflection r;
  ASSERT_TRUE(hlsl::reflect(c.spirv, r));
  const hlsl::CBufferInfo* cb = hlsltest::findCBuffer(r, "Packed");
  ASSERT_NE(cb, nullptr);
  ASSERT_EQ(cb->variables.size(), 2u);
  EXPECT_EQ(cb->variables[0].name, "b");
  EXPECT_EQ(cb->variables[1].name, "a");
  EXPECT_EQ(cb->variables[1].offset, 28u);
  EXPECT_EQ(cb->size, 32u);
}

}  // namespace
