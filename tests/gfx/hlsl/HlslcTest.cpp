// The command-line tool, run as a user would.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/gfx/hlsl/HlslTestSupport.h"

namespace {

namespace fs = std::filesystem;

struct RunResult {
  int status = -1;
  std::string out;  // stdout and stderr together
};

RunResult hlslc(const std::string& args, const fs::path& dir) {
  RunResult r;
  std::string cmd = "cd '" + dir.string() + "' && '" ZV_HLSLC_PATH "' " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

class Hlslc : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("hlslc-test-" + std::to_string(::getpid()));
    fs::create_directories(dir_ / "data/shaders/fx");
  }
  void TearDown() override { fs::remove_all(dir_); }
  void write(const std::string& rel, const std::string& text) { std::ofstream(dir_ / rel) << text; }
  fs::path dir_;
};

TEST_F(Hlslc, ReflectPrintsDirect3DLayoutInSlotOrder) {
  write("data/shaders/a.hlsl",
        "cbuffer Second : register(b1) { float a; float3 b; float c[2]; float d; float2 e; float3 f; float g; };\n"
        "cbuffer First : register(b0) { float4x4 gWorld; float gTime; };\n"
        "float4 PS() : SV_Target { return a + b.x + c[1] + d + e.x + f.x + g + gWorld[0].x + gTime; }\n");
  RunResult r = hlslc("reflect data/shaders/a.hlsl PS ps_5_0", dir_);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out,
            "cbuffer First b0 size 80\n"
            "  gWorld 0 64\n"
            "  gTime 64 4\n"
            "cbuffer Second b1 size 64\n"
            "  a 0 4\n"
            "  b 4 12\n"
            "  c 16 20\n"
            "  d 36 4\n"
            "  e 40 8\n"
            "  f 48 12\n"
            "  g 60 4\n");
}

TEST_F(Hlslc, CompileErrorsAreReportedWithAFailingStatus) {
  write("data/shaders/bad.hlsl", "float4 PS() : SV_Target { return nope; }\n");
  RunResult r = hlslc("reflect data/shaders/bad.hlsl PS ps_5_0", dir_);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find("nope"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("bad.hlsl"), std::string::npos) << r.out;
  r = hlslc("reflect data/shaders/missing.hlsl PS ps_5_0", dir_);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find("missing.hlsl"), std::string::npos) << r.out;
  EXPECT_NE(hlslc("frobnicate", dir_).status, 0);
}

TEST_F(Hlslc, BinWritesOneRawFilePerEntry) {
  const std::string bar =
      "float4 VS(uint id : SV_VertexID) : SV_Position { return float4(id & 1, id >> 1, 0, 1); }\n"
      "float4 PS() : SV_Target { return 1; }\n"
      "float4 PSDepth() : SV_Target { return 0; }\n";
  write("data/shaders/progressBar.hlsl", bar);
  write("data/shaders/fx/blur.hlsl",
        "RWTexture2D<float4> o : register(u0);\n[numthreads(8, 8, 1)] void CS(uint3 i : SV_DispatchThreadID) { o[i.xy] = 1; }\n");
  write("shaders.list", "# shaders the passes load\nprogressBar vs=VS ps=PS ps=PSDepth\n\nfx/blur cs=CS  # compute\n");
  RunResult r = hlslc("bin shaders.list", dir_);
  EXPECT_EQ(r.status, 0) << r.out;
  for (const char* f : {"progressBarVS.vs", "progressBarPS.ps", "progressBarPSDepth.ps", "fx/blurCS.cs"}) {
    fs::path p = dir_ / "data/binShaders" / f;
    ASSERT_TRUE(fs::exists(p)) << f;
    std::ifstream in(p, std::ios::binary);
    std::vector<uint32_t> words(fs::file_size(p) / 4);
    in.read(reinterpret_cast<char*>(words.data()), static_cast<std::streamsize>(words.size() * 4));
    ASSERT_FALSE(words.empty());
    EXPECT_EQ(words[0], 0x07230203u) << f;  // raw SPIR-V, no header
    std::string log;
    EXPECT_TRUE(hlsltest::spirvValid(words, log)) << f << ": " << log;
  }
  // The file is what compile() gives for the same entry.
  hlsl::CompileResult vs = hlsl::compile(hlsl::Vertex, "vs_5_0", bar, "VS");
  ASSERT_TRUE(vs.ok);
  EXPECT_EQ(fs::file_size(dir_ / "data/binShaders/progressBarVS.vs"), vs.spirv.size() * 4);

  // Other folders, and a list with a broken entry: the rest is still written, status fails.
  write("other.list", "progressBar vs=VS xs=PS\nnothere ps=PS\n");
  r = hlslc("bin --shaders data/shaders --out out/bin other.list", dir_);
  EXPECT_NE(r.status, 0);
  EXPECT_TRUE(fs::exists(dir_ / "out/bin/progressBarVS.vs"));
  EXPECT_NE(r.out.find("xs=PS"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("nothere.hlsl"), std::string::npos) << r.out;
}

TEST_F(Hlslc, BinRefusesNamesThatLeaveTheOutputFolder) {
  write("data/shaders/copy.hlsl", "float4 PS() : SV_Target { return 1; }\n");
  fs::create_directories(dir_ / "data/sh");
  write("data/sh/copy.hlsl", "float4 PS() : SV_Target { return 1; }\n");  // what ../sh/copy reads
  write("escape.list", "../sh/copy ps=PS\n/tmp/copy ps=PS\ncopy ps=PS\n");
  RunResult r = hlslc("bin --out out/bin escape.list", dir_);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("escape.list:1: the shader name '../sh/copy' leaves"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("escape.list:2: the shader name '/tmp/copy' leaves"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(dir_ / "out/sh"));
  EXPECT_TRUE(fs::exists(dir_ / "out/bin/copyPS.ps"));  // the good line is still done
}

TEST_F(Hlslc, AnIncludeCycleFailsQuicklyNamingTheChain) {
  write("data/shaders/a.hlsl", "#include \"b.hlsl\"\nfloat4 PS() : SV_Target { return 1; }\n");
  write("data/shaders/b.hlsl", "#include \"a.hlsl\"\n");
  RunResult r = hlslc("reflect data/shaders/a.hlsl PS ps_5_0", dir_);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("include cycle: data/shaders/a.hlsl -> data/shaders/b.hlsl -> data/shaders/a.hlsl"),
            std::string::npos)
      << r.out;
}

}  // namespace
