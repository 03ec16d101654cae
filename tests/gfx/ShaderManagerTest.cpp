// The shader manager without a GPU: programs built with no Device get their constant
// buffers from reflection but no stage objects, which is all these cases look at.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "gfx/ShaderManager.h"
#include "gfx/ShaderProgram.h"

namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

void writeWords(const fs::path& path, const std::vector<uint32_t>& words) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(words.data()), std::streamsize(words.size() * 4));
}

// A fresh temporary folder per test; the shader cache is emptied too, since it lives for
// the whole process.
class ShaderManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clearShaderCache();
    dir_ = fs::temp_directory_path() / ("zv_shader_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    useBinaryShaders = false;
  }
  void TearDown() override {
    clearShaderCache();
    useBinaryShaders = false;
    fs::remove_all(dir_);
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  fs::path dir_;
};

// Runs a body with the working directory switched to dir (the compiled road and the
// road decision read relative paths).
template <typename F>
void inDirectory(const fs::path& dir, F&& body) {
  const fs::path old = fs::current_path();
  fs::current_path(dir);
  body();
  fs::current_path(old);
}


// ---------------------------------------------------------------- constant buffers

TEST(ConstantBufferTable, SetCopiesTheDeclaredSizeAndIgnoresUnknownNames) {
  ConstantBuffer cb(nullptr, 0, 48, 1);
  cb.addVariable("gRegionScale", 0, 8);
  cb.addVariable("gRegionOffset", 8, 8);
  cb.addVariable("gTime", 16, 4);
  cb.addVariable("gColor", 32, 16);
  // The table is sorted by hash so lookup is a binary search.
  for (size_t i = 1; i < cb.variables.size(); ++i)
    EXPECT_LT(cb.variables[i - 1].hash, cb.variables[i].hash);

  uint8_t memory[48];
  std::memset(memory, 0xAB, sizeof(memory));
  cb.mapped = memory;

  const float scale[2] = {0.5f, 0.25f};
  cb.set("gRegionScale", scale);  // a float2 copies 8 bytes from the caller
  float got[2];
  std::memcpy(got, memory, 8);
  EXPECT_EQ(got[0], 0.5f);
  EXPECT_EQ(got[1], 0.25f);
  EXPECT_EQ(memory[8], 0xAB);  // the next variable is untouched

  const float t = 3.0f;
  cb.set("gTime", &t);
  EXPECT_EQ(std::memcmp(memory + 16, &t, 4), 0);
  EXPECT_EQ(memory[20], 0xAB);

  // Names the shader lacks (or the compiler dropped) change nothing.
  uint8_t before[48];
  std::memcpy(before, memory, sizeof(memory));
  const float junk[16] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
  cb.set("gNotThere", junk);
  cb.set("gregionscale", junk);  // names are case-sensitive
  cb.set("", junk);
  cb.set(nullptr, junk);
  EXPECT_EQ(std::memcmp(before, memory, sizeof(memory)), 0);
}

TEST(ConstantBufferTable, BoundedSetZeroFillsAndUnmappedSetIsIgnored) {
  ConstantBuffer cb(nullptr, 0, 32, 1);
  cb.addVariable("gColor", 16, 16);
  uint8_t memory[32];
  std::memset(memory, 0xCD, sizeof(memory));

  const float one = 1.0f;
  cb.set("gColor", &one, sizeof(one));  // not mapped: nothing happens
  EXPECT_EQ(memory[16], 0xCD);

  cb.mapped = memory;
  cb.set("gColor", &one, sizeof(one));  // a float into a float4: the rest becomes zero, no overread
  float got[4];
  std::memcpy(got, memory + 16, 16);
  EXPECT_EQ(got[0], 1.0f);
  EXPECT_EQ(got[1], 0.0f);
  EXPECT_EQ(got[3], 0.0f);
  EXPECT_EQ(memory[15], 0xCD);
}

TEST(ConstantBufferTable, VariablesOutsideTheBufferAreNeverWritten) {
  // A table entry that does not fit the buffer (a corrupt reflection) must not write past it.
  ConstantBuffer cb(nullptr, 0, 16, 1);
  cb.addVariable("gFar", 12, 16);
  uint8_t memory[32];
  std::memset(memory, 0, sizeof(memory));
  cb.mapped = memory;
  const float v[4] = {1, 2, 3, 4};
  cb.set("gFar", v);
  cb.set("gFar", v, sizeof(v));
  for (uint8_t b : memory) EXPECT_EQ(b, 0);
}

// ---------------------------------------------------------------- reflection into programs

TEST_F(ShaderManagerTest, SameSlotInTwoStagesKeepsTheFirstStagesLayout) {
  const std::string file = path("shared.hlsl");
  writeFile(file, R"(
cbuffer Shared : register(b0) { float4 gVertexOnly; float gCommon; };
float4 VS(float3 p : POSITION) : SV_POSITION { return float4(p, 1) * gVertexOnly + gCommon; }
cbuffer SharedPS : register(b0) { float gCommonPS; float3 gPixelOnly; };
float4 PS() : SV_TARGET { return float4(gPixelOnly, gCommonPS); }
)");
  ShaderProgram program(nullptr);
  ASSERT_TRUE(loadProgram(file.c_str(), EntryPoints::vsps("VS", "PS"), &program, false, true))
      << lastCompileError();
  ConstantBuffer* cb = program.constantBuffer(0);
  ASSERT_NE(cb, nullptr);
  EXPECT_EQ(cb->stageMask, (1u << 0) | (1u << 4));
  EXPECT_EQ(cb->size, 32u);
  ASSERT_NE(cb->find("gVertexOnly"), nullptr);
  EXPECT_EQ(cb->find("gCommon")->offset, 16u);
  EXPECT_EQ(cb->find("gPixelOnly"), nullptr);
  EXPECT_EQ(cb->find("gCommonPS"), nullptr);
  for (uint32_t slot = 1; slot < kProgramConstantBuffers; ++slot) EXPECT_EQ(program.constantBuffer(slot), nullptr);
}

using ShaderManagerDeathTest = ShaderManagerTest;

TEST_F(ShaderManagerDeathTest, RegistersAboveSevenOrMoreThanEightBuffersAreFatal) {
  std::string nine;
  std::string sum = "0";
  for (int i = 0; i < 9; ++i) {
    nine += "cbuffer C" + std::to_string(i) + " : register(b" + std::to_string(i) + ") { float4 gV" +
            std::to_string(i) + "; };\n";
    sum += " + gV" + std::to_string(i);
  }
  nine += "float4 PS() : SV_TARGET { return " + sum + "; }\n";
  const std::pair<std::string, const char*> cases[] = {
      {"cbuffer High : register(b8) { float4 gHigh; };\nfloat4 PS() : SV_TARGET { return gHigh; }\n",
       "Fatal error: .*b8"},
      {nine, "Fatal error: .*constant buffers"},
  };
  for (const auto& [text, message] : cases) {
    const std::string file = path("fatal.hlsl");
    writeFile(file, text);
    EXPECT_EXIT(
        {
          ShaderProgram program(nullptr);
          loadProgram(file.c_str(), EntryPoints::vsps(nullptr, "PS"), &program, false, true);
        },
        ::testing::ExitedWithCode(1), message);
  }
}

// ---------------------------------------------------------------- the cache

TEST_F(ShaderManagerTest, CacheIsSharedUntilForceRecompile) {
  const std::string file = path("cached.hlsl");
  auto writeVersion = [&](const char* name) {
    writeFile(file, std::string("cbuffer C : register(b0) { float ") + name +
                        "; };\nfloat4 PS() : SV_TARGET { return " + name + "; }\n");
  };
  writeVersion("gFirst");
  const EntryPoints ps = EntryPoints::vsps(nullptr, "PS");
  const std::string key = fs::path(file).string() + "PS";

  ShaderProgram a(nullptr), b(nullptr), c(nullptr), d(nullptr);
  ASSERT_TRUE(loadProgram(file.c_str(), ps, &a, false, true));
  const ShaderBlob* first = cachedShader(key);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(shaderCacheSize(), 1u);

  // The file changes on disk; a second program still gets the cached blob.
  writeVersion("gSecond");
  ASSERT_TRUE(loadProgram(file.c_str(), ps, &b, false, true));
  EXPECT_EQ(cachedShader(key), first);
  EXPECT_NE(b.constantBuffer(0)->find("gFirst"), nullptr);
  EXPECT_EQ(shaderCacheSize(), 1u);

  // forceRecompile compiles again and replaces the cached blob for everyone after it.
  ASSERT_TRUE(loadProgram(file.c_str(), ps, &c, true, true));
  EXPECT_NE(c.constantBuffer(0)->find("gSecond"), nullptr);
  EXPECT_EQ(c.constantBuffer(0)->find("gFirst"), nullptr);
  ASSERT_TRUE(loadProgram(file.c_str(), ps, &d, false, true));
  EXPECT_NE(d.constantBuffer(0)->find("gSecond"), nullptr);
  EXPECT_EQ(shaderCacheSize(), 1u);
}

TEST_F(ShaderManagerTest, CompileErrorsFailTheLoadAndKeepEarlierStages) {
  const std::string file = path("broken.hlsl");
  writeFile(file, R"(
cbuffer V : register(b0) { float4 gOffset; };
float4 VS(float3 p : POSITION) : SV_POSITION { return float4(p, 1) + gOffset; }
)");
  // The pixel entry does not exist: that stage fails after the vertex stage was built.
  ShaderProgram program(nullptr);
  EXPECT_FALSE(loadProgram(file.c_str(), EntryPoints::vsps("VS", "PS"), &program, false, true));
  EXPECT_FALSE(lastCompileError().empty());
  ASSERT_NE(program.constantBuffer(0), nullptr);
  EXPECT_EQ(cachedShader(fs::path(file).string() + "PS"), nullptr);
  EXPECT_NE(cachedShader(fs::path(file).string() + "VS"), nullptr);

  // A syntax error fails every entry of the file, with the compiler's text kept.
  writeFile(file, "float4 PS() : SV_TARGET { return undeclaredThing; }\n");
  ShaderProgram syntax(nullptr);
  EXPECT_FALSE(loadProgram(file.c_str(), EntryPoints::vsps(nullptr, "PS"), &syntax, false, true));
  EXPECT_NE(lastCompileError().find("undeclaredThing"), std::string::npos) << lastCompileError();

  // A failed forced recompile drops the old blob as well: nothing stale stays cached.
  writeFile(file, "float4 PS() : SV_TARGET { return 1; }\n");
  ShaderProgram ok(nullptr);
  ASSERT_TRUE(loadProgram(file.c_str(), EntryPoints::vsps(nullptr, "PS"), &ok, false, true));
  writeFile(file, "float4 PS() : SV_TARGET { return nope; }\n");
  ShaderProgram again(nullptr);
  EXPECT_FALSE(loadProgram(file.c_str(), EntryPoints::vsps(nullptr, "PS"), &again, true, true));
  EXPECT_EQ(cachedShader(fs::path(file).string() + "PS"), nullptr);
}

TEST_F(ShaderManagerTest, MissingSourcePrintsFailedToOpenAndNothingElse) {
  ShaderProgram program(nullptr);
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(loadProgram("definitelyNotAShader", EntryPoints::vsps("VS", "PS"), &program));
  const std::string err = ::testing::internal::GetCapturedStderr();
  const std::string out = ::testing::internal::GetCapturedStdout();
  // The path as it was opened, not with the folder names' doubled separators.
  EXPECT_EQ(out, "Failed to open data/shaders/definitelyNotAShader.hlsl\n");
  // No compile of the empty text, whose message would be about a missing entry point.
  EXPECT_EQ(err, "Loading shader program definitelyNotAShader vs=VS ps=PS\n");
  EXPECT_EQ(shaderCacheSize(), 0u);

  // Operators name their files as paths with doubled separators; the log shows them clean.
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(loadProgram("data//shaders//notThere.hlsl", EntryPoints::compute("CS"), &program, false, true));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Loading shader program data/shaders/notThere.hlsl cs=CS\n");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Failed to open data/shaders/notThere.hlsl\n");
}

TEST(ShaderManagerLog, LineNamesTheEntriesInStageOrder) {
  EXPECT_EQ(programLogLine("copy", EntryPoints::vsps("VS", "PSDepth")), "copy vs=VS ps=PSDepth");
  EntryPoints withGs = EntryPoints::vsps("mainVS", "mainPS");
  withGs.entry[3] = "GS";
  EXPECT_EQ(programLogLine("sprites", withGs), "sprites vs=mainVS gs=GS ps=mainPS");
  EntryPoints computeAndMore = EntryPoints::vsps("VS", "PS");
  computeAndMore.entry[5] = "CS";
  EXPECT_EQ(programLogLine("sim", computeAndMore), "sim cs=CS");
  EXPECT_EQ(programLogLine("copy", EntryPoints::vsps(nullptr, "PS")), "copy ps=PS");
}

TEST_F(ShaderManagerTest, ComputeEntryBuildsOnlyTheComputeStage) {
  const std::string file = path("both.hlsl");
  writeFile(file, R"(
cbuffer C : register(b2) { uint gCount; };
RWStructuredBuffer<uint> gOut : register(u0);
[numthreads(8, 1, 1)] void CS(uint3 id : SV_DispatchThreadID) { gOut[id.x] = gCount; }
float4 PS() : SV_TARGET { return 1; }
)");
  // There is no VS in the file: building it would fail, but compute stands alone.
  EntryPoints e = EntryPoints::vsps("VS", "PS");
  e.entry[5] = "CS";
  ShaderProgram program(nullptr);
  ASSERT_TRUE(loadProgram(file.c_str(), e, &program, false, true)) << lastCompileError();
  ASSERT_NE(program.constantBuffer(2), nullptr);
  EXPECT_EQ(program.constantBuffer(2)->stageMask, 1u << 5);
  EXPECT_EQ(shaderCacheSize(), 1u);
}

// ---------------------------------------------------------------- the compiled road

TEST_F(ShaderManagerTest, CompiledRoadReadsNameEntrySuffixFiles) {
  // Compile the real loading-bar shader and lay it out as the compiled road expects.
  std::string source;
  ASSERT_TRUE(readWholeFile("data/shaders/progressBar.hlsl", source));
  auto vs = compileShader(0, "vs_5_0", source, "VS");
  auto ps = compileShader(4, "ps_5_0", source, "PS");
  ASSERT_TRUE(vs && ps) << lastCompileError();
  writeWords(dir_ / "data/binShaders/progressBarVS.vs", vs->words);
  writeWords(dir_ / "data/binShaders/progressBarPS.ps", ps->words);

  inDirectory(dir_, [&] {
    EXPECT_TRUE(decideBinaryShaders());
    ShaderProgram program(nullptr);
    ASSERT_TRUE(loadProgramAuto("progressBar", EntryPoints::vsps("VS", "PS"), &program));
    ASSERT_NE(program.constantBuffer(0), nullptr);
    EXPECT_NE(program.constantBuffer(0)->find("gProgress"), nullptr);
    EXPECT_EQ(program.constantBuffer(0)->stageMask, 1u << 4);
    ASSERT_NE(cachedShader("progressBarVS"), nullptr);
    EXPECT_EQ(cachedShader("progressBarVS")->words, vs->words);
    EXPECT_EQ(cachedShader("progressBarPS")->stage, 4u);

    // Once cached, the files are not read again.
    fs::remove(dir_ / "data/binShaders/progressBarPS.ps");
    ShaderProgram second(nullptr);
    EXPECT_TRUE(loadProgramBinary("progressBar", EntryPoints::vsps("VS", "PS"), &second));
  });
}

TEST_F(ShaderManagerTest, CompiledRoadRejectsMissingAndForeignFiles) {
  std::string source;
  ASSERT_TRUE(readWholeFile("data/shaders/progressBar.hlsl", source));
  auto vs = compileShader(0, "vs_5_0", source, "VS");
  auto ps = compileShader(4, "ps_5_0", source, "PS");
  ASSERT_TRUE(vs && ps) << lastCompileError();
  inDirectory(dir_, [&] {
    EXPECT_FALSE(decideBinaryShaders());  // no data/binShaders here
    ShaderProgram program(nullptr);
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(loadProgramBinary("progressBar", EntryPoints::vsps("VS", "PS"), &program));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Failed to open data/binShaders/progressBarVS.vs\n");

    // A Direct3D blob, an empty file or a truncated one is not SPIR-V: the load fails.
    writeFile(dir_ / "data/binShaders/oldVS.vs", "DXBC\x01\x02\x03\x04 not spir-v at all....");
    writeFile(dir_ / "data/binShaders/emptyVS.vs", "");
    writeFile(dir_ / "data/binShaders/shortVS.vs", std::string("\x03\x02\x23\x07\x00", 5));
    // A damaged module (its last instruction cut off) and a pixel shader filed as a vertex
    // shader are refused as well, naming the file, instead of reaching the driver.
    std::vector<uint32_t> cut = vs->words;
    cut.pop_back();
    writeWords(dir_ / "data/binShaders/cutVS.vs", cut);
    writeWords(dir_ / "data/binShaders/pixelVS.vs", ps->words);
    for (const char* name : {"cut", "pixel"}) {
      ShaderProgram p(nullptr);
      ::testing::internal::CaptureStderr();
      EXPECT_FALSE(loadProgramBinary(name, EntryPoints::vsps("VS", nullptr), &p)) << name;
      EXPECT_NE(::testing::internal::GetCapturedStderr().find("data/binShaders/" + std::string(name) + "VS.vs"),
                std::string::npos);
      EXPECT_EQ(cachedShader(std::string(name) + "VS"), nullptr);
    }
    for (const char* name : {"old", "empty", "short"}) {
      ShaderProgram p(nullptr);
      EXPECT_FALSE(loadProgramBinary(name, EntryPoints::vsps("VS", nullptr), &p)) << name;
      EXPECT_EQ(cachedShader(std::string(name) + "VS"), nullptr);
    }
    fs::create_directories(dir_ / "data/binShaders");
    EXPECT_TRUE(decideBinaryShaders());
  });
}

TEST_F(ShaderManagerTest, AnEntryNameCachedForOneStageIsNotHandedToAnother) {
  std::string source;
  ASSERT_TRUE(readWholeFile("data/shaders/progressBar.hlsl", source));
  auto ps = compileShader(4, "ps_5_0", source, "PS");
  ASSERT_TRUE(ps);
  writeWords(dir_ / "data/binShaders/barPS.ps", ps->words);
  inDirectory(dir_, [&] {
    ShaderProgram pixel(nullptr);
    ASSERT_TRUE(loadProgramBinary("bar", EntryPoints::vsps(nullptr, "PS"), &pixel));
    // The same key asked for as a vertex stage must come from barPS.vs, which is missing.
    ShaderProgram vertex(nullptr);
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(loadProgramBinary("bar", EntryPoints::vsps("PS", nullptr), &vertex));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Failed to open data/binShaders/barPS.vs\n");
  });
}

TEST(ShaderManagerPaths, OperatorPathsMapToTheCompiledFolder) {
  EXPECT_EQ(binaryShaderBase("data\\shaders\\glow.hlsl"), "data/binShaders/glow");
  EXPECT_EQ(binaryShaderBase("C:\\prod\\demo\\data\\shaders\\fx\\glow.hlsl"), "data/binShaders/fx/glow");
  EXPECT_EQ(binaryShaderBase("/home/x/Data/Shaders/sky.fx.hlsl"), "data/binShaders/sky");
  EXPECT_EQ(binaryShaderBase("./data/shaders/v1.2/tone.hlsl"), "data/binShaders/v1.2/tone");
  // The operators' own defaults spell the folders with doubled separators.
  EXPECT_EQ(binaryShaderBase("data//shaders//clothCS.hlsl"), "data/binShaders/clothCS");
  EXPECT_EQ(binaryShaderBase("data\\shaders\\fogVS.hlsl"), "data/binShaders/fogVS");
  // "mydata/shaders" is a different folder; only the extension goes.
  EXPECT_EQ(binaryShaderBase("mydata/shaders/a.hlsl"), "mydata/shaders/a");
  EXPECT_EQ(binaryShaderBase("plain"), "plain");
}

TEST_F(ShaderManagerTest, LoadFromFileReplacesTheSlotOnlyOnSuccess) {
  const std::string file = path("data/shaders/op.hlsl");
  writeFile(file, "cbuffer C : register(b0) { float gOne; };\nfloat4 PS() : SV_TARGET { return gOne; }\n");
  std::unique_ptr<ShaderProgram> slot;
  ASSERT_TRUE(loadProgramFromFile(file.c_str(), EntryPoints::vsps(nullptr, "PS"), slot));
  ShaderProgram* first = slot.get();
  ASSERT_NE(first, nullptr);

  // The source road always recompiles an operator's file: edits show up at once.
  writeFile(file, "cbuffer C : register(b0) { float gTwo; };\nfloat4 PS() : SV_TARGET { return gTwo; }\n");
  ASSERT_TRUE(loadProgramFromFile(file.c_str(), EntryPoints::vsps(nullptr, "PS"), slot));
  EXPECT_NE(slot->constantBuffer(0)->find("gTwo"), nullptr);
  ShaderProgram* second = slot.get();

  writeFile(file, "float4 PS() : SV_TARGET { return broken; }\n");
  EXPECT_FALSE(loadProgramFromFile(file.c_str(), EntryPoints::vsps(nullptr, "PS"), slot));
  EXPECT_EQ(slot.get(), second);

  // The compiled road reduces the path to data/binShaders/<name> + entry + suffix.
  std::string source;
  ASSERT_TRUE(readWholeFile("data/shaders/progressBar.hlsl", source));
  auto ps = compileShader(4, "ps_5_0", source, "PS");
  ASSERT_TRUE(ps);
  writeWords(dir_ / "data/binShaders/fx/barPS.ps", ps->words);
  inDirectory(dir_, [&] {
    useBinaryShaders = true;
    std::unique_ptr<ShaderProgram> compiled;
    EXPECT_TRUE(loadProgramFromFile("D:\\work\\data\\shaders\\fx\\bar.hlsl", EntryPoints::vsps(nullptr, "PS"),
                                    compiled));
    ASSERT_NE(compiled, nullptr);
    EXPECT_NE(compiled->constantBuffer(0)->find("gProgress"), nullptr);
    useBinaryShaders = false;
  });
}

}  // namespace
