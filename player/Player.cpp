#include "player/Player.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "engine/Project.h"
#include "gfx/Device.h"
#include "gfx/FatalError.h"
#include "gfx/MemoryBudget.h"
#include "gfx/SketchDraws.h"
#include "gfx/Screen.h"
#include "player/Clock.h"
#include "player/FrameDump.h"
#include "player/Globals.h"
#include "player/LoadingBar.h"
#include "player/Log.h"
#include "project/ProjectLoader.h"
#include "scene/FrameSetup.h"
#include "scene/SceneContext.h"
#include "tools/opr/JsonProduction.h"
#include "treefile/TreeFile.h"

Float4x4 defaultProjection(uint32_t width, uint32_t height) {
  const float n = 0.1f, f = 1000.0f;
  const float c = 2.4142137f;  // 1 / tan(22.5 degrees)
  const float a = height ? float(width) / float(height) : 1.0f;
  Float4x4 p;
  p.m[0] = c / a;
  p.m[5] = c;
  p.m[10] = f / (f - n);
  p.m[11] = 1.0f;
  p.m[14] = -n * f / (f - n);
  p.m[15] = 0.0f;
  return p;
}

Player::Player(Screen* screen, FILE* progressOut)
    : screen_(screen), progress_(TerminalProgress::forStream(progressOut)) {
  music.init(44100);
}

Player::~Player() {
  releaseGpu();
  freeAudio();
  destroyProject();
}

bool Player::load(const std::string& projectPath) { return load(projectPath, GraphChoice()); }

bool Player::load(const std::string& projectPath, const GraphChoice& chooseGraphs) {
  Device* device = screen_ ? screen_->device : gDevice;
  auto bar = std::make_unique<LoadingBar>(device);
  project = std::make_unique<Project>();
  initContextTargets(context, device, screen_);
  initSceneContext(context, device);
  context.projection = defaultProjection(screen_ ? screen_->width : 1, screen_ ? screen_->height : 1);

  // A file that cannot be read at all reads as an empty tree, which the loader maps onto
  // an empty production: nothing plays and the run ends at the first frame.
  bool complete = false;
  {
    TreeFile tree;
    std::string error;
    bool opened = false;
    complete = readProductionTree(projectPath, tree, error, opened);
    if (!opened)
      logText("Cannot open production file %s: nothing to play\n", projectPath.c_str());
    else if (!complete)
      logText("%s\n", error.c_str());
    project->serialize(TreeNodeRef{&tree.root(), false});
    const std::string ignored = ignoredContentWarnings(tree.root(), projectPath);
    if (!ignored.empty()) {
      logText("%s\n", ignored.c_str());
      complete = false;
    }
  }
  setCurrentProject(project.get());

  musicChannel = 0;
  if (!project->musicPath.empty() && framedumpSetting == 0) {
    musicChannel = music.sampleGetChannel(music.sampleLoad(project->musicPath));
    if (musicChannel == 0) {
      noteLoadFailure("music", project->musicPath, "cannot read it");
      attributeLoadFailures(loadFailureCount() - 1, "the production " + projectPath);
    }
  }

  // Which graph each operator belongs to, so that a file it fails to load names it.
  std::vector<std::pair<const Operator*, const OperatorGraph*>> owners;
  for (const auto& g : project->graphs)
    for (const auto& op : g->operators) owners.emplace_back(op.get(), g.get());
  auto requester = [&](const Operator& op) {
    std::string text;
    for (const auto& [o, g] : owners)
      if (o == &op) {
        text = "graph " + std::to_string(g->id) + (g->name.empty() ? "" : " \"" + g->name + "\"") + ", ";
        break;
      }
    text += "operator " + std::to_string(op.id) + " " + op.type;
    if (!op.customName.empty()) text += " '" + op.customName + "'";
    return text;
  };
  // An operator loads its files at its first evaluation, which may come from the one
  // downstream that pulled it: the operator naming the file in a parameter is the asker.
  auto namedBy = [&](const std::string& file) -> const Operator* {
    for (const auto& [o, g] : owners)
      for (const Port& in : o->inputs) {
        const auto* text = in.source ? dynamic_cast<const Text*>(in.source->value()) : nullptr;
        if (!text || text->value.empty()) continue;
        const std::string& v = text->value;
        if (file == v || (file.size() > v.size() && file.compare(file.size() - v.size(), v.size(), v) == 0 &&
                          file[file.size() - v.size() - 1] == '/'))
          return o;
      }
    return nullptr;
  };
  size_t failureMark = loadFailureCount();

  // Every operator creates its resources now, with the bar drawn after each one; pooled
  // targets are handed back after each so the warm-up never piles them up. The per-frame
  // lists (lights, shadow casters, forces) are emptied after each as well: no frame begins
  // between these evaluations, and every operator down an image chain evaluates the scene
  // again, so the lists would grow with each one and the lighting's cost with them.
  Texture* remembered = context.imageResult;
  auto afterEach = [&](Operator& op, size_t k, size_t total) {
    attributeLoadFailures(failureMark, requester(op));
    failureMark = loadFailureCount();
    // The targets this operator asked for count against it, should the production not fit.
    attributeMemory(device, op.customName.empty() ? op.type : op.type + " '" + op.customName + "'");
    float progress = k == total ? 1.0f : float(k) * (1.0f / float(total));
    if (screen_) {
      SketchScope shown(device ? device->context() : nullptr, false);
      bar->draw(*screen_, progress);
    }
    releaseAllTargets(context);
    clearPerFrameLists();
    context.imageResult = remembered;
    progress_.loading(int(k), int(total));
  };
  // Nobody sees the warm-up's pictures: its draws shade one pixel each (the bar above is
  // drawn in full).
  std::optional<SketchScope> sketch;
  if (sketchWarmUp) sketch.emplace(device ? device->context() : nullptr, true);
  std::vector<int32_t> chosen;
  if (chooseGraphs && chooseGraphs(*project, context, chosen)) {
    // The warm-up's own walk (first output of every operator at -10 s, in graph order),
    // over the chosen graphs only: the others are never drawn by this run.
    setCurrentProject(project.get());
    size_t total = 0, k = 0;
    auto wanted = [&](const OperatorGraph& g) { return std::find(chosen.begin(), chosen.end(), g.id) != chosen.end(); };
    for (const auto& g : project->graphs)
      if (wanted(*g)) total += g->operators.size();
    for (const auto& g : project->graphs) {
      if (!wanted(*g)) continue;
      for (auto& op : g->operators) {
        if (!op->outputs.empty()) op->outputs[0].evaluate(-10.0f, context);
        afterEach(*op, ++k, total);
      }
    }
    warmedUp = k;
  } else {
    warmedUp = warmUp(*project, context, afterEach);
  }
  sketch.reset();
  progress_.finish();
  loadFailures = takeLoadFailures();
  for (LoadFailure& f : loadFailures)
    if (const Operator* op = namedBy(f.file)) f.requester = requester(*op);
  if (reportLoadFailures && !loadFailures.empty()) logText("%s", describeLoadFailures(loadFailures).c_str());
  checkMemoryAfterLoading(device);  // ends a production that needs more GPU memory than there is
  loadingBarDraws = bar->draws();
  bar.reset();

  if (musicChannel != 0) music.channelPlay(musicChannel);
  musicPlaying = music.channelIsActive(musicChannel) != 0;
  return complete;
}

float Player::productionTime() {
  if (timeGiven) return givenTime;
  // Dumped frames are 1/60 s apart whatever the time it takes to render them.
  if (framedumpSetting != 0) return frameTime(frameCounter, offlineClockFps());
  // Once the music has started it is the clock, also in the instant after it stopped (its
  // position then holds at the end): switching to another clock there would show one
  // frame from an unrelated time.
  if (musicPlaying) return float(music.channelPositionSeconds(musicChannel));
  // Without music, the real-time clock (restarted when loading ends): counting frames
  // would run the production too fast on a fast display and offscreen.
  return float(wallClockTime);
}

bool Player::frame() {
  // The end of the music ends the production; this frame is not drawn.
  if (framedumpSetting == 0 && musicPlaying && music.channelIsActive(musicChannel) == 0) return false;
  if (!screen_ || !context.targets || !project) return false;

  const uint32_t w = screen_->width, h = screen_->height;
  const float clearDepth[4] = {1.0f, 0.0f, 0.0f, 0.0f};
  if (screen_->depthBuffer) clearTexture(screen_->device, screen_->depthBuffer, clearDepth);
  // The screen's textures are rebuilt on resize: take this frame's ones.
  context.targets->screenDepth = screen_->depthBuffer;
  context.viewport = Viewport{0, 0, int32_t(w), int32_t(h)};
  context.projection = defaultProjection(w, h);
  beginFrame(context, w, h, true, true);
  context.imageResult = nextRingTarget(context);

  const float t = productionTime();
  float localTime = t;
  if (!project->evaluate(localTime, context)) return false;

  if (context.imageResult && context.imageResult != screen_->backBuffer)
    copyPass(screen_->backBuffer, context.imageResult, Viewport{0, 0, int32_t(w), int32_t(h)},
             RenderStateDesc::defaults(), true);

  if (output_ ? frameCounter >= firstOutput_ : framedumpSetting != 0) dumpFrame(t);
  ++frameCounter;
  return true;
}

void Player::setOutput(FrameWriter* writer, int32_t first) {
  output_ = writer;
  firstOutput_ = first;
}

void Player::dumpFrame(float t) {
  FrameWriter* writer = output_;
  if (!writer) {
    if (!dumpWriter_) dumpWriter_ = std::make_unique<FrameWriter>(makeSequenceOutput("framedump/frame_%06d.tiff", true));
    writer = dumpWriter_.get();
  }
  // A write that failed on the writer's thread stops the run at the next frame: the frame
  // dump's here, an output's where the render loop looks (it removes what is unfinished).
  if (writer->failed()) {
    if (output_) return;
    fatalError(("Failed to write: " + writer->error()).c_str());
  }
  std::vector<uint8_t>& pixels = writer->acquire(size_t(screen_->width) * screen_->height * 4);
  if (!screen_->readBack(pixels)) {
    char text[128];
    std::snprintf(text, sizeof text, "Failed to read back frame %d", int(frameCounter));
    fatalError(text);
  }
  writer->submit(frameCounter, screen_->width, screen_->height);
  if (!output_) progress_.dumped(frameCounter, t, frameDumpName(frameCounter));
}

bool Player::finishDump() {
  if (!dumpWriter_) return true;
  std::string error;
  const bool ok = dumpWriter_->finish(error);
  dumpWriter_.reset();
  if (!ok) fatalError(("Failed to write: " + error).c_str());
  return ok;
}

bool readProductionTree(const std::string& path, TreeFile& tree, std::string& error, bool& opened) {
  const bool json = path.size() > 5 && path.compare(path.size() - 5, 5, ".json") == 0;
  if (!json) {
    const bool complete = tree.readFile(path, &error);
    opened = tree.problem() != ReadProblem::CannotOpen;
    return complete;
  }
  std::ifstream in(path, std::ios::binary);
  std::error_code ec;
  opened = in && !std::filesystem::is_directory(path, ec);
  if (!opened) return false;
  std::ostringstream text;
  text << in.rdbuf();
  Project built;
  Project* previous = currentProject();
  setCurrentProject(&built);
  const bool ok = buildProjectFromJson(text.str(), path, built, error);
  // Through the bytes of a production file: the player then reads what `opr build` writes.
  std::stringstream bytes;
  if (ok) {
    TreeFile written;
    built.serialize(TreeNodeRef{&written.root(), true});
    written.write(bytes);
  }
  setCurrentProject(previous);
  if (!ok) return false;
  if (!tree.read(bytes)) {
    error = path + ": the built production does not read back";
    return false;
  }
  return true;
}

void Player::releaseGpu() {
  finishDump();
  progress_.finish();
  releaseSceneContext(context);
  if (context.targets) releaseContextTargets(context);
  context.imageResult = nullptr;
}

void Player::freeAudio() {
  music.free();
  musicChannel = 0;
  musicPlaying = false;
}

void Player::destroyProject() {
  if (project && currentProject() == project.get()) setCurrentProject(nullptr);
  project.reset();
}
