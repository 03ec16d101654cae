// Every example of docs/authoring.md, built as opr builds it and played by the player for
// one frame, offscreen at 64 x 36: the guide's productions must build without a warning and
// show a picture, so the guide cannot drift away from the program.
//
// In the guide, a ```json block is a whole production. The HTML comment just above it may
// say when to look and what to expect: <!-- checked: at 1.5 s, shape --> renders at 1.5 s
// (default 0.5 s) and, with "shape", wants the middle of the picture to differ from its
// corners. A ```hlsl block whose first line is "// PATH" is a file the examples use; it is
// written at PATH in the production folder before any example is played.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/Globals.h"
#include "engine/Project.h"
#include "gfx/Screen.h"
#include "player/App.h"
#include "player/Globals.h"
#include "player/Player.h"
#include "project/ProjectLoader.h"
#include "tools/opr/JsonProduction.h"

namespace fs = std::filesystem;

namespace {

const fs::path kGuide = fs::path(ZV_SOURCE_DIR) / "docs" / "authoring.md";
constexpr uint32_t kWidth = 64, kHeight = 36;

struct Example {
  int line = 0;  // of the opening fence
  std::string json;
  float time = 0.5f;
  bool shape = false;
};

struct DataFile {
  std::string path;
  std::string text;
};

struct Guide {
  std::vector<Example> examples;
  std::vector<DataFile> files;
};

Guide readGuide() {
  Guide g;
  std::ifstream in(kGuide);
  std::string line, directive;
  int n = 0;
  while (std::getline(in, line)) {
    ++n;
    if (line.rfind("<!-- checked:", 0) == 0) {
      directive = line;
      continue;
    }
    const bool json = line == "```json", hlsl = line == "```hlsl";
    if (!json && !hlsl) {
      if (!line.empty()) directive.clear();
      continue;
    }
    const int start = n;
    std::string body;
    while (std::getline(in, line) && line != "```") {
      ++n;
      body += line + "\n";
    }
    ++n;
    if (json) {
      Example e;
      e.line = start;
      e.json = body;
      if (const size_t at = directive.find(" at "); at != std::string::npos) e.time = std::stof(directive.substr(at + 4));
      e.shape = directive.find("shape") != std::string::npos;
      g.examples.push_back(e);
    } else if (body.rfind("// ", 0) == 0) {
      const std::string path = body.substr(3, body.find('\n') - 3);
      if (path.find('/') != std::string::npos && path.find(' ') == std::string::npos) g.files.push_back({path, body});
    }
    directive.clear();
  }
  return g;
}

// The production folder: data/ holds links to the repository's data, with data/shaders a
// folder of its own so that the guide's shader files can be written beside the shipped ones.
fs::path makeFolder(const Guide& guide) {
  const fs::path dir = fs::temp_directory_path() / ("zv_authoring_guide_" + std::to_string(getpid()));
  fs::remove_all(dir);
  const fs::path data = fs::path(ZV_SOURCE_DIR) / "data";
  fs::create_directories(dir / "data" / "shaders");
  for (const auto& e : fs::directory_iterator(data)) {
    if (e.path().filename() != "shaders") fs::create_directory_symlink(e.path(), dir / "data" / e.path().filename());
  }
  for (const auto& e : fs::directory_iterator(data / "shaders")) {
    fs::create_symlink(e.path(), dir / "data" / "shaders" / e.path().filename());
  }
  for (const DataFile& f : guide.files) {
    const fs::path p = dir / f.path;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << f.text;
  }
  return dir;
}

int brightness(const std::vector<uint8_t>& rgba, uint32_t x, uint32_t y) {
  const size_t i = (size_t(y) * kWidth + x) * 4;
  return rgba[i] + rgba[i + 1] + rgba[i + 2];
}

// The mean colour of a 4 x 4 block.
std::array<int, 3> block(const std::vector<uint8_t>& rgba, uint32_t x0, uint32_t y0) {
  std::array<int, 3> sum{};
  for (uint32_t y = y0; y < y0 + 4; ++y)
    for (uint32_t x = x0; x < x0 + 4; ++x)
      for (int c = 0; c < 3; ++c) sum[c] += rgba[(size_t(y) * kWidth + x) * 4 + c];
  for (int& s : sum) s /= 16;
  return sum;
}

class AuthoringGuide : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("ZV_VALIDATION", "1", 0);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    registerPlayerOperators();
    ScreenSettings settings;
    settings.width = kWidth;
    settings.height = kHeight;
    sScreen = new Screen(nullptr, settings);
    sRenderers = new Renderers(sScreen);
  }
  static void TearDownTestSuite() {
    delete sRenderers;
    delete sScreen;
    sRenderers = nullptr;
    sScreen = nullptr;
  }

  // Builds the example, writes it as the folder's production and plays one frame at its time.
  // Returns the frame's pixels (empty when something failed, with the failure reported).
  std::vector<uint8_t> play(const Example& e) {
    Project project;
    setCurrentProject(&project);
    std::string error;
    std::vector<std::string> warnings;
    // Blank lines in front, so that messages give the line in the guide.
    const bool built = buildProjectFromJson(std::string(size_t(e.line), '\n') + e.json, "docs/authoring.md", project,
                                            error, &warnings);
    EXPECT_TRUE(built) << error;
    for (const std::string& w : warnings) ADD_FAILURE() << w;
    if (!built || !saveProjectFile("demo.opr_b", project, &error)) {
      ADD_FAILURE() << error;
      return {};
    }
    frameCounter = 0;
    framedumpSetting = 0;
    isLoading = true;
    std::vector<uint8_t> pixels;
    {
      Player player(sScreen, nullptr);
      EXPECT_TRUE(player.load());
      isLoading = false;
      wallClockTime = e.time;  // without music the real-time clock is the production's
      EXPECT_TRUE(player.frame()) << "no span covers " << e.time << " s";
      sScreen->device->waitIdle();
      EXPECT_TRUE(sScreen->readBack(pixels));
    }
    setCurrentProject(nullptr);
    return pixels;
  }

  static Screen* sScreen;
  static Renderers* sRenderers;
};
Screen* AuthoringGuide::sScreen = nullptr;
Renderers* AuthoringGuide::sRenderers = nullptr;

TEST_F(AuthoringGuide, EveryExampleBuildsCleanlyAndShowsAPicture) {
  const Guide guide = readGuide();
  ASSERT_GE(guide.examples.size(), 4u) << "no examples found in " << kGuide;
  const fs::path old = fs::current_path();
  const fs::path dir = makeFolder(guide);
  fs::current_path(dir);
  const uint64_t messages = sScreen->device->validationMessageCount();
  for (const Example& e : guide.examples) {
    SCOPED_TRACE("the example at docs/authoring.md:" + std::to_string(e.line));
    const std::vector<uint8_t> rgba = play(e);
    ASSERT_EQ(rgba.size(), size_t(kWidth) * kHeight * 4);
    if (const char* out = std::getenv("ZV_GUIDE_PICTURES")) {  // to look at them: one PPM per example
      std::ofstream ppm(fs::path(out) / ("example_line" + std::to_string(e.line) + ".ppm"), std::ios::binary);
      ppm << "P6\n" << kWidth << " " << kHeight << "\n255\n";
      for (size_t i = 0; i < rgba.size(); i += 4) ppm.write(reinterpret_cast<const char*>(&rgba[i]), 3);
    }
    // Most of the frame shows something: a black frame is the typical wiring mistake.
    int lit = 0;
    for (uint32_t y = 0; y < kHeight; ++y)
      for (uint32_t x = 0; x < kWidth; ++x) lit += brightness(rgba, x, y) > 24;
    EXPECT_GT(lit, int(kWidth * kHeight) / 2) << "pixels showing something";
    if (e.shape) {
      const auto middle = block(rgba, kWidth / 2 - 2, kHeight / 2 - 2);
      int nearest = 1 << 30;  // the corner most like the middle
      for (const auto& corner : {block(rgba, 0, 0), block(rgba, kWidth - 4, 0), block(rgba, 0, kHeight - 4),
                                 block(rgba, kWidth - 4, kHeight - 4)}) {
        nearest = std::min(nearest, std::abs(middle[0] - corner[0]) + std::abs(middle[1] - corner[1]) +
                                        std::abs(middle[2] - corner[2]));
      }
      EXPECT_GT(nearest, 30) << "the middle of the picture looks like a corner: nothing stands out";
    }
  }
  EXPECT_EQ(sScreen->device->validationMessageCount(), messages) << "validation messages";
  fs::current_path(old);
  fs::remove_all(dir);
}

}  // namespace
