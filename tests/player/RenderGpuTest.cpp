// Offline renders from the command line, through the program itself: a video with its
// music in step, the lossless master against the frame dump, one frame against the same
// frame of a whole render, chunks against the whole, a JSON source against its built file,
// and bad input that fails clearly without leaving a file behind.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <filesystem>
#include <fstream>

#include "tests/player/TestSound.h"
#include "tests/player/VideoReader.h"
#include "tests/player/ZarvoRun.h"

using namespace playertest;

namespace {

// One second: black, with a white flash during [0.5, 0.55), and a click at 0.5 s as music.
nlohmann::json flashProduction() {
  const nlohmann::json flash = {
      {"keys",
       {{{"time", 0}, {"value", 0}},
        {{"time", 0.5}, {"value", 1}, {"shape", "step"}},
        {{"time", 0.55}, {"value", 0}, {"shape", "step"}}}}};
  nlohmann::json image = {{"id", 2},
                          {"type", "Image"},
                          {"params", {{"Clear.R", flash}, {"Clear.G", flash}, {"Clear.B", flash}, {"Clear.A", 1}}}};
  return {{"music", "click.wav"},
          {"graphs",
           {{{"id", 1},
             {"operators", {image}},
             {"connections", {{{"from", 2}, {"output", "ImageOut"}, {"to", 0}, {"input", "In"}}}}}}},
          {"tracks", {{{{"graph", 1}, {"start", 0}, {"end", 1}}}}}};
}

// The pixels of a TIFF file as RGBA8, top row first (empty when it cannot be read).
std::vector<uint8_t> tiffPixels(const fs::path& file) {
  std::vector<uint8_t> out;
  TIFF* tif = TIFFOpen(file.string().c_str(), "r");
  if (!tif) return out;
  uint32_t w = 0, h = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
  out.resize(size_t(w) * h * 4);
  for (uint32_t y = 0; y < h; ++y)
    if (TIFFReadScanline(tif, out.data() + size_t(y) * w * 4, y) < 0) out.clear();
  TIFFClose(tif);
  return out;
}

// How many operators the run warmed up: the total of its last loading line.
int warmedOperators(const std::string& err) {
  const size_t at = err.rfind("Loading: ");
  const size_t slash = at == std::string::npos ? at : err.find('/', at);
  return slash == std::string::npos ? -1 : std::atoi(err.c_str() + slash + 1);
}

std::string frameName(int n) {
  char name[64];
  std::snprintf(name, sizeof name, "frame_%06d.tiff", n);
  return name;
}

class RenderGpuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = makeWorkDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::ofstream(dir_ / "config.ini") << "width 24 height 16\n";
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir_);
  }
  // zarvo ARGS in the scratch folder, without the validation layer (the other device
  // tests keep it on) to keep the many runs short.
  ZarvoRun zarvo(const std::string& args) { return runZarvo(dir_, "ZV_VALIDATION=0", args); }
  void writeSource(const std::string& name, const nlohmann::json& source) {
    std::ofstream(dir_ / name) << source.dump(1);
  }
  // Renders the whole production as the frame dump (TIFF files) into `folder`.
  ZarvoRun dumpAll(const std::string& source, const std::string& folder) {
    fs::create_directories(dir_ / folder);
    ZarvoRun run = zarvo(source + " -o " + folder + "/frame_%06d.tiff");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return run;
  }
  fs::path dir_;
};

}  // namespace

TEST_F(RenderGpuTest, AVideoHasEveryFrameAndItsMusicInStep) {
  ASSERT_TRUE(writeClickTrack((dir_ / "click.wav").string(), 1.0, 0.5));
  writeSource("flash.json", flashProduction());
  ZarvoRun run = zarvo("flash.json -o clip.mp4 --size 32x18");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.err.find("60 frames written to clip.mp4"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("Frame 60 of 60"), std::string::npos) << run.err;  // the progress line
  EXPECT_EQ(run.out, "");
  const DecodedVideo v = readVideo((dir_ / "clip.mp4").string());
  ASSERT_TRUE(v.ok);
  EXPECT_EQ(v.videoCodec, "h264");
  EXPECT_EQ(v.audioCodec, "aac");
  ASSERT_EQ(v.frames.size(), 60u);
  int firstWhite = -1;
  for (size_t n = 0; n < v.frames.size() && firstWhite < 0; ++n)
    if (v.frames[n][(9 * 32 + 16) * 4] > 200) firstWhite = int(n);
  EXPECT_EQ(firstWhite, 30);
  EXPECT_LT(v.frames[33][(9 * 32 + 16) * 4], 50);  // 0.55 s is past the flash
  EXPECT_NEAR(v.audioStreamSeconds, 1.0, 1.0 / 60.0);
  EXPECT_NEAR(soundOnset(v) - v.frameTimes[0], 0.5, 1.0 / 60.0);
}

TEST_F(RenderGpuTest, LosslessMastersChunksAndSingleFramesEqualTheFrameDump) {
  // The fluid and cloth scene: SPH and cloth carry their state from frame to frame.
  writeSource("sims.json", historyProduction({5}, 6));
  dumpAll("sims.json", "whole");

  // The lossless master decodes to the dump's pictures byte for byte.
  ZarvoRun master = zarvo("sims.json -o master.mkv --lossless");
  ASSERT_EQ(master.exitCode, 0) << master.err;
  const DecodedVideo v = readVideo((dir_ / "master.mkv").string());
  ASSERT_TRUE(v.ok);
  EXPECT_EQ(v.videoCodec, "ffv1");
  ASSERT_EQ(v.frames.size(), 6u);
  for (int n = 0; n < 6; ++n) EXPECT_TRUE(v.frames[size_t(n)] == tiffPixels(dir_ / "whole" / frameName(n))) << n;

  // Two chunks, rendered apart, give the frames of the whole render: the second pre-rolls
  // the simulations through the frames of the first without writing them.
  ZarvoRun first = zarvo("sims.json --from 0 --to 0.05 -o a.mkv --lossless");
  ZarvoRun second = zarvo("sims.json --from 0.05 --to 0.1 -o b.mkv --lossless");
  ASSERT_EQ(first.exitCode, 0) << first.err;
  ASSERT_EQ(second.exitCode, 0) << second.err;
  EXPECT_NE(second.err.find("Pre-roll: frame 3 of 3"), std::string::npos) << second.err;
  const DecodedVideo a = readVideo((dir_ / "a.mkv").string()), b = readVideo((dir_ / "b.mkv").string());
  ASSERT_EQ(a.frames.size(), 3u);
  ASSERT_EQ(b.frames.size(), 3u);
  for (int n = 0; n < 3; ++n) {
    EXPECT_TRUE(a.frames[size_t(n)] == v.frames[size_t(n)]) << "first chunk, frame " << n;
    EXPECT_TRUE(b.frames[size_t(n)] == v.frames[size_t(n + 3)]) << "second chunk, frame " << n + 3;
  }

  // One frame after the frames it pre-rolls.
  ZarvoRun one = zarvo("sims.json --at 0.0833 -o one.tiff");
  ASSERT_EQ(one.exitCode, 0) << one.err;
  EXPECT_TRUE(tiffPixels(dir_ / "one.tiff") == tiffPixels(dir_ / "whole" / frameName(5)));
}

TEST_F(RenderGpuTest, WithoutHistoryOneFrameIsDrawnAndEqualsTheDump) {
  ASSERT_TRUE(writeClickTrack((dir_ / "click.wav").string(), 1.0, 0.5));
  writeSource("flash.json", flashProduction());
  dumpAll("flash.json", "whole");
  for (const char* at : {"0.5", "0.51"}) {  // frame 30 and, rounded, frame 31
    ZarvoRun one = zarvo(std::string("flash.json --at ") + at + " -o one.tiff");
    ASSERT_EQ(one.exitCode, 0) << one.err;
    EXPECT_EQ(one.err.find("Pre-roll"), std::string::npos) << one.err;
    EXPECT_TRUE(tiffPixels(dir_ / "one.tiff") == tiffPixels(dir_ / "whole" / frameName(at[3] ? 31 : 30))) << at;
  }
  // Fog and sprites, then SPH and cloth: a frame of the first scene warms up its graph
  // alone and still equals the whole render's; --no-preroll in the second draws only the
  // frame asked for.
  writeSource("two.json", historyProduction({11, 5}, 3));
  const ZarvoRun whole = dumpAll("two.json", "two");
  ZarvoRun fog = zarvo("two.json --at 0.0167 -o fog.tiff");
  ASSERT_EQ(fog.exitCode, 0) << fog.err;
  EXPECT_TRUE(tiffPixels(dir_ / "fog.tiff") == tiffPixels(dir_ / "two" / frameName(1)));
  EXPECT_EQ(fog.err.find("Pre-roll"), std::string::npos) << fog.err;
  EXPECT_LT(warmedOperators(fog.err), warmedOperators(whole.err)) << fog.err;
  ZarvoRun quick = zarvo("two.json --at 0.0833 --no-preroll -o quick.png");
  ASSERT_EQ(quick.exitCode, 0) << quick.err;
  EXPECT_EQ(quick.err.find("Pre-roll"), std::string::npos) << quick.err;
  EXPECT_TRUE(fs::exists(dir_ / "quick.png"));
}

// A camera shake eases towards a new random target every frame, so a frame depends on the
// frames before it: one frame rendered alone must draw them first to equal the whole render.
TEST_F(RenderGpuTest, AFrameAfterACameraShakeEqualsTheWholeRendersFrame) {
  // Red is 0.5 plus the shake (within +-0.4), so the picture shows every step of it.
  const nlohmann::json shake = {{"id", 3}, {"type", "CameraShake"}, {"params", {{"Intensity", 0.4}, {"Speed", 6}}}};
  const nlohmann::json add = {{"id", 4}, {"type", "Add"}, {"params", {{"Value 2", 0.5}}}};
  const nlohmann::json image = {{"id", 2}, {"type", "Image"}, {"params", {{"Clear.B", 0.5}, {"Clear.A", 1}}}};
  writeSource("shake.json",
              {{"graphs",
                {{{"id", 1},
                  {"operators", {image, shake, add}},
                  {"connections",
                   {{{"from", 2}, {"output", "ImageOut"}, {"to", 0}, {"input", "In"}},
                    {{"from", 3}, {"output", "PosX"}, {"to", 4}, {"input", "Value 1"}},
                    {{"from", 4}, {"output", "FloatOut"}, {"to", 2}, {"input", "Clear.R"}}}}}}},
               {"tracks", {{{{"graph", 1}, {"start", 0}, {"end", 1}}}}}});
  dumpAll("shake.json", "whole");
  const std::vector<uint8_t> expected = tiffPixels(dir_ / "whole" / frameName(30));
  ZarvoRun one = zarvo("shake.json --at 0.5 -o one.tiff");
  ASSERT_EQ(one.exitCode, 0) << one.err;
  EXPECT_TRUE(tiffPixels(dir_ / "one.tiff") == expected);
  // Without the frames before, the shake starts from rest: another picture.
  ZarvoRun quick = zarvo("shake.json --at 0.5 --no-preroll -o quick.tiff");
  ASSERT_EQ(quick.exitCode, 0) << quick.err;
  EXPECT_FALSE(tiffPixels(dir_ / "quick.tiff") == expected);
}

TEST_F(RenderGpuTest, AJsonSourceGivesTheFramesOfItsBuiltFile) {
  writeSource("scenes.json", historyProduction({11}, 3));
  buildProduction(dir_, historyProduction({11}, 3));  // demo.opr_b, through opr build
  dumpAll("scenes.json", "from-json");
  dumpAll("demo.opr_b", "from-file");
  for (int n = 0; n < 3; ++n)
    EXPECT_EQ(slurp(dir_ / "from-json" / frameName(n)), slurp(dir_ / "from-file" / frameName(n))) << n;
}

TEST_F(RenderGpuTest, BadInputFailsClearlyAndLeavesNoFile) {
  writeSource("flash.json", flashProduction());
  std::ofstream(dir_ / "broken.json") << "{\n  \"graphs\": [\n    {\"id\": 1, \"operators\": [{\"type\": \"Nope\"}]}\n  ]\n}\n";
  fs::create_directories(dir_ / "taken.png");
  const struct {
    const char* args;
    int status;
    const char* says;
  } cases[] = {
      {"flash.json --at 0.5 -o missing/f.png", 1, "cannot write missing/f.png: the folder missing does not exist"},
      {"flash.json --at 0.5 -o taken.png", 1, "cannot write taken.png: it is a folder"},
      {"flash.json --at 0.5 -o /proc/f.png", 1, "cannot write /proc/f.png"},
      {"flash.json --at 1 -o f.png", 1, "--at 1 s is beyond the production's end (1 s)"},
      {"flash.json --from 0.5 --to 2 -o f.mkv", 1, "--to 2 s is beyond the production's end (1 s)"},
      {"flash.json --from 3 -o f.mkv", 1, "--from 3 s is at or beyond the production's end (1 s)"},
      {"flash.json --from 0.6 --to 0.5 -o f.mkv", 2, "--from 0.6 is not before --to 0.5"},
      {"flash.json --at 0.5 --size 33x17 -o f.mp4", 1, "needs an even width and height"},
      {"broken.json --at 0 -o f.png", 1, "broken.json:3:"},
      {"absent.json --at 0 -o f.png", 1, "cannot open production file absent.json"},
      {"flash.json --at 0 --speed 2", 2, "unknown option --speed"},
  };
  for (const auto& c : cases) {
    ZarvoRun run = zarvo(c.args);
    EXPECT_EQ(run.exitCode, c.status) << c.args << "\n" << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << c.args << "\n" << run.err;
    EXPECT_EQ(run.err.find("Fatal"), std::string::npos) << c.args << "\n" << run.err;
  }
  // Nothing written, not even a temporary file.
  for (auto& e : fs::directory_iterator(dir_)) {
    const std::string name = e.path().filename().string();
    EXPECT_TRUE(name == "data" || name == "config.ini" || name == "flash.json" || name == "broken.json" ||
                name == "taken.png" || name == "out.txt" || name == "err.txt" || name == "zarvo-pipelines.bin")
        << name;
  }
  EXPECT_TRUE(fs::is_empty(dir_ / "taken.png"));
}

TEST_F(RenderGpuTest, HelpAndVersionGoToStandardOutput) {
  ZarvoRun help = zarvo("--help");
  EXPECT_EQ(help.exitCode, 0);
  for (const char* option : {"--at", "--from", "--to", "--fps", "--size", "-o", "--crf", "--lossless", "--no-preroll"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  ZarvoRun version = zarvo("--version");
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out.rfind("zarvo ", 0), 0u) << version.out;
}
