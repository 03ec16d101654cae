#include "player/Watch.h"

#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>

#include "engine/Project.h"
#include "gfx/Device.h"
#include "gfx/LoadFailures.h"
#include "gfx/Reload.h"
#include "gfx/Screen.h"
#include "gfx/SketchDraws.h"
#include "gfx/Texture.h"
#include "player/App.h"
#include "player/Globals.h"
#include "player/LoadingBar.h"
#include "player/Player.h"
#include "project/ProjectLoader.h"
#include "scene/FrameSetup.h"
#include "scene/MeshImport.h"
#include "treefile/TreeFile.h"

namespace fs = std::filesystem;

WatchKey watchKeyFor(int32_t key, bool shift) {
  switch (key) {
    case SDLK_SPACE: return WatchKey::PauseResume;
    case SDLK_LEFT: return shift ? WatchKey::BackFar : WatchKey::Back;
    case SDLK_RIGHT: return shift ? WatchKey::ForwardFar : WatchKey::Forward;
    case SDLK_COMMA: return WatchKey::PreviousFrame;
    case SDLK_PERIOD: return WatchKey::NextFrame;
    case SDLK_HOME: return WatchKey::Home;
    case SDLK_l: return WatchKey::Loop;
    default: return WatchKey::None;
  }
}

namespace {

std::string extensionOf(const std::string& file) {
  std::string ext = fs::path(file).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return ext;
}

bool isShaderFile(const std::string& ext) { return ext == ".hlsl" || ext == ".hlsli" || ext == ".fx" || ext == ".h"; }
bool isTextureFile(const std::string& ext) { return ext == ".png" || ext == ".jpg" || ext == ".dds"; }

void addFilesUnder(const char* folder, std::vector<std::string>& out) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    if (it->is_regular_file(ec)) out.push_back(it->path().generic_string());
}

bool sameNode(const TreeNode& a, const TreeNode& b) {
  if (a.value != b.value || a.children.size() != b.children.size()) return false;
  for (auto ia = a.children.begin(), ib = b.children.begin(); ia != a.children.end(); ++ia, ++ib) {
    if (ia->first.index != ib->first.index || ia->first.name != ib->first.name) return false;
    if (!sameNode(*ia->second, *ib->second)) return false;
  }
  return true;
}

// Whether an operator of `graph` names one of `files` in a parameter.
bool namesAny(const OperatorGraph& graph, const std::vector<std::string>& files) {
  for (const auto& op : graph.operators)
    for (const Port& in : op->inputs) {
      const auto* text = in.source ? dynamic_cast<const Text*>(in.source->value()) : nullptr;
      if (!text || text->value.empty()) continue;
      for (const std::string& f : files)
        if (fs::path(f).lexically_normal() == fs::path(text->value).lexically_normal()) return true;
    }
  return false;
}

}  // namespace

WatchSession::WatchSession(Player& player, std::string production, int32_t fps, FILE* log)
    : player_(player), production_(std::move(production)), fps_(std::max(1, fps)), log_(log) {}

WatchSession::~WatchSession() {
  setShaderChangesForgotten(false);
  Device* device = gDevice;
  if (device) device->waitIdle();
  retiredProjects_.clear();
  if (player_.project) setCurrentProject(player_.project.get());
  for (Texture* t : retired_) deleteTexture(t);
}

WatchSession::Stamp WatchSession::stampOf(const std::string& file) {
  Stamp s;
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) return s;
  s.time = fs::last_write_time(file, ec);
  s.size = fs::file_size(file, ec);
  if (ec) s.size = uintmax_t(-1);
  return s;
}

void WatchSession::collectWatched() {
  // The production, its music, every file an operator names in a parameter, and the
  // shader and texture folders (includes and the player's own programs among them).
  std::vector<std::string> files{production_};
  if (player_.project) {
    if (!player_.project->musicPath.empty()) files.push_back(player_.project->musicPath);
    std::error_code ec;
    for (const auto& g : player_.project->graphs)
      for (const auto& op : g->operators)
        for (const Port& in : op->inputs) {
          const auto* text = in.source ? dynamic_cast<const Text*>(in.source->value()) : nullptr;
          if (text && !text->value.empty() && text->value.size() < 4096 && fs::is_regular_file(text->value, ec))
            files.push_back(text->value);
        }
  }
  // Includes beside a shader of the production's own (outside the shader folder).
  std::vector<std::string> folders;
  for (const std::string& f : files)
    if (isShaderFile(extensionOf(f))) folders.push_back(fs::path(f).parent_path().string());
  std::sort(folders.begin(), folders.end());
  folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
  for (const std::string& folder : folders) {
    std::error_code ec;
    for (auto it = fs::directory_iterator(folder.empty() ? "." : folder, ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
      if (it->is_regular_file(ec) && isShaderFile(extensionOf(it->path().string())))
        files.push_back(folder.empty() ? it->path().filename().string() : it->path().generic_string());
  }
  addFilesUnder("data/shaders", files);
  addFilesUnder("data/textures", files);
  std::sort(files.begin(), files.end());
  files.erase(std::unique(files.begin(), files.end()), files.end());
  watched_ = files;
  // New files start from their stamp now; known ones keep theirs, so a change made while
  // a reload ran is still seen.
  std::map<std::string, Stamp> stamps;
  for (const std::string& f : watched_) {
    auto it = stamps_.find(f);
    stamps[f] = it != stamps_.end() ? it->second : stampOf(f);
  }
  stamps_ = std::move(stamps);
}

bool WatchSession::start() {
  setShaderChangesForgotten(true);
  stamps_[production_] = stampOf(production_);
  const bool ok = player_.load(production_);
  isLoading = false;
  // The cursor is the clock from here on; the music follows it.
  player_.musicPlaying = false;
  player_.timeGiven = true;
  bool usable = ok && player_.project && !player_.project->graphs.empty();
  if (ok) {
    auto tree = std::make_unique<TreeFile>();
    std::string error;
    bool opened = false;
    if (readProductionTree(production_, *tree, error, opened)) shownTree_ = std::move(tree);
  }
  for (const LoadFailure& f : player_.loadFailures)
    if (f.kind == "shader") usable = false;
  if (!ok) lastError_ = "cannot use " + production_ + " (the reason is above)";
  collectWatched();
  followMusic();
  return usable;
}

void WatchSession::fail(const std::string& why) {
  lastError_ = why;
  if (log_) std::fprintf(log_, "zarvo: reload failed: %s; still playing the last good version\n", why.c_str());
}

WatchSession::Reload WatchSession::poll() {
  std::vector<std::string> changed;
  for (auto& [file, stamp] : stamps_) {
    const Stamp now = stampOf(file);
    if (now != stamp) {
      changed.push_back(file);
      stamp = now;
    }
  }
  if (changed.empty()) return Reload::None;
  return reload(changed);
}

WatchSession::Reload WatchSession::reload(const std::vector<std::string>& changed) {
  const auto began = std::chrono::steady_clock::now();
  bool musicChanged = false;
  bool rebuildAll = false;        // a changed include or mesh: which graphs use it is not known
  std::vector<std::string> named;  // changed files that operators may name
  for (const std::string& file : changed) {
    const std::string ext = extensionOf(file);
    if (file == production_) continue;
    if (player_.project && file == player_.project->musicPath) {
      musicChanged = true;
    } else if (isShaderFile(ext)) {
      forgetShaderFile(file);
      named.push_back(file);
      // A file no operator names is an include (or one of the player's own programs).
      bool byName = false;
      if (player_.project)
        for (const auto& g : player_.project->graphs) byName = byName || namesAny(*g, {file});
      if (!byName) rebuildAll = true;
    } else if (isTextureFile(ext)) {
      named.push_back(file);
      std::vector<Texture*> taken = forgetTextureFile(file);
      retired_.insert(retired_.end(), taken.begin(), taken.end());
    } else {
      // A mesh (or another file an operator reads): meshes are shared, so those the
      // production on screen holds stay alive until it goes.
      clearMeshCache();
      clearLwoCache();
      named.push_back(file);
    }
  }

  auto treeOwned = std::make_unique<TreeFile>();
  TreeFile& tree = *treeOwned;
  std::string error;
  bool opened = false;
  if (!readProductionTree(production_, tree, error, opened)) {
    fail(opened ? error : "cannot open " + production_);
    return Reload::Failed;
  }
  auto fresh = std::make_unique<Project>();
  fresh->serialize(TreeNodeRef{&tree.root(), false});
  const std::string ignored = ignoredContentWarnings(tree.root(), production_);
  if (!ignored.empty()) {
    fail(ignored);
    return Reload::Failed;
  }

  // Graphs whose part of the tree did not change, and that name no changed file, move
  // over from the version on screen as they are: warmed up, with their state.
  Project* shown = player_.project.get();
  std::vector<size_t> moved;
  if (shown && shownTree_ && !rebuildAll) {
    shown->removeGraphChain();
    for (size_t i = 0; i < fresh->graphs.size() && i < shown->graphs.size(); ++i) {
      const TreeNode* before = shownTree_->root().findChild("graph", uint32_t(i));
      const TreeNode* after = tree.root().findChild("graph", uint32_t(i));
      if (!before || !after || !sameNode(*before, *after) || namesAny(*shown->graphs[i], named)) continue;
      std::swap(fresh->graphs[i], shown->graphs[i]);
      moved.push_back(i);
    }
  }
  auto moveBack = [&] {
    for (size_t i : moved) std::swap(fresh->graphs[i], shown->graphs[i]);
  };

  // The rest warms up beside the version on screen, as loading does, without a bar.
  Context& ctx = player_.context;
  takeLoadFailures();  // what failed before belongs to the version on screen
  Texture* remembered = ctx.imageResult;
  isLoading = true;
  setCurrentProject(fresh.get());
  int built = 0;
  // Nobody sees these pictures either: the draws shade one pixel each, as when loading.
  std::optional<SketchScope> sketch;
  if (player_.sketchWarmUp) sketch.emplace(gDevice ? gDevice->context() : nullptr, true);
  for (size_t i = 0; i < fresh->graphs.size(); ++i) {
    if (std::find(moved.begin(), moved.end(), i) != moved.end()) continue;
    ++built;
    for (auto& op : fresh->graphs[i]->operators) {
      if (!op->outputs.empty()) op->outputs[0].evaluate(-10.0f, ctx);
      releaseAllTargets(ctx);
      clearPerFrameLists();
      ctx.imageResult = remembered;
    }
  }
  sketch.reset();
  isLoading = false;
  std::vector<LoadFailure> failures = takeLoadFailures();
  for (const LoadFailure& f : failures) {
    if (f.kind != "shader") continue;
    if (gDevice) gDevice->waitIdle();
    fresh->removeGraphChain();
    moveBack();
    setCurrentProject(shown);
    fresh.reset();
    // The compiler's own lines, with file and line, are in the log above.
    fail(f.file + ": " + f.why);
    return Reload::Failed;
  }
  if (!failures.empty() && log_) std::fprintf(log_, "%s", describeLoadFailures(failures).c_str());

  const std::string oldMusic = shown ? shown->musicPath : std::string();
  // The old version may still be read by frames in flight: it goes once the first frame
  // of the new one has been waited for (waiting here would add a frame to every reload).
  std::unique_ptr<Project> old = std::move(player_.project);
  player_.project = std::move(fresh);
  setCurrentProject(player_.project.get());
  retiredProjects_.push_back(std::move(old));
  shownTree_ = std::move(treeOwned);
  graphsRebuilt_ = built;
  player_.loadFailures = failures;
  retiredAfterFrame_ = retired_.size();
  ++reloads_;
  lastError_.clear();
  if (musicChanged || player_.project->musicPath != oldMusic) restartMusic();
  collectWatched();
  reloadMs_ = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
  announce_ = true;
  savedAt_ = std::filesystem::file_time_type::min();
  for (const std::string& file : changed) savedAt_ = std::max(savedAt_, stampOf(file).time);
  return Reload::Done;
}

void WatchSession::restartMusic() {
  player_.music.channelPause(musicChannel, true);
  musicChannel = 0;
  const std::string& path = player_.project->musicPath;
  if (!path.empty()) {
    musicChannel = player_.music.sampleGetChannel(player_.music.sampleLoad(path));
    if (musicChannel) player_.music.channelPlay(musicChannel);
  }
  followMusic();
}

void WatchSession::followMusic() {
  if (!musicChannel) return;
  player_.music.channelSeek(musicChannel, time_);
  player_.music.channelPause(musicChannel, paused_);
}

double WatchSession::end() const { return player_.project ? productionEnd(*player_.project) : 0.0; }

void WatchSession::advance(double seconds) {
  if (paused_ || seconds <= 0.0) return;
  time_ += seconds;
  if (looping() && time_ >= loopEnd_) {
    time_ = loopStart_ + std::fmod(time_ - loopStart_, loopEnd_ - loopStart_);
    followMusic();
  }
  const double e = end();
  if (e > 0.0 && time_ >= e) {
    time_ = std::max(0.0, e - 1.0 / fps_);
    paused_ = true;
    followMusic();
  }
}

void WatchSession::seekTo(double t) {
  const double e = end();
  time_ = std::max(0.0, e > 0.0 ? std::min(t, e - 1.0 / fps_) : t);
  followMusic();
}

void WatchSession::apply(WatchKey key) {
  const double frame = 1.0 / fps_;
  switch (key) {
    case WatchKey::None: return;
    case WatchKey::PauseResume:
      paused_ = !paused_;
      followMusic();
      return;
    case WatchKey::Back: return seekTo(time_ - 1.0);
    case WatchKey::Forward: return seekTo(time_ + 1.0);
    case WatchKey::BackFar: return seekTo(time_ - 10.0);
    case WatchKey::ForwardFar: return seekTo(time_ + 10.0);
    // Frame steps land on the frame grid, so that stepping back and forth shows the
    // same frames.
    case WatchKey::PreviousFrame:
      if (paused_) seekTo((std::ceil(time_ * fps_ - 1e-6) - 1.0) * frame);
      return;
    case WatchKey::NextFrame:
      if (paused_) seekTo((std::floor(time_ * fps_ + 1e-6) + 1.0) * frame);
      return;
    case WatchKey::Home: return seekTo(0.0);
    case WatchKey::Loop: {
      if (looping()) {
        loopStart_ = loopEnd_ = 0.0;
        return;
      }
      // The span of the top graph under the cursor.
      if (!player_.project) return;
      for (const Track& track : player_.project->tracks)
        for (const auto& span : track.spans)
          if (span && span->covers(float(time_)) && player_.project->findGraph(span->graphId)) {
            loopStart_ = span->timeStart;
            loopEnd_ = span->timeEnd;
            return;
          }
      return;
    }
  }
}

std::string WatchSession::spanNameAt(double t) const {
  if (!player_.project) return "";
  for (const Track& track : player_.project->tracks)
    for (const auto& span : track.spans)
      if (span && span->covers(float(t)) && player_.project->findGraph(span->graphId)) return span->name;
  return "";
}

std::string WatchSession::title(double framesPerSecond) const {
  char text[256];
  const std::string span = spanNameAt(time_);
  std::snprintf(text, sizeof text, "%.2f s | %s | %.1f fps%s%s%s", time_, span.empty() ? "-" : span.c_str(),
                framesPerSecond, paused_ ? " | paused" : "", looping() ? " | loop" : "",
                lastError_.empty() ? "" : " | reload failed");
  return text;
}

bool WatchSession::drawFrame() {
  player_.timeGiven = true;
  player_.givenTime = float(time_);
  clearDeviceState(gDevice);
  const bool drawn = player_.frame();
  if (!retiredProjects_.empty() && gDevice) {
    // The picture is in the back buffer once the queue has drawn it, and nothing reads
    // the versions replaced before this frame any more.
    gDevice->waitIdle();
    retiredProjects_.clear();
    setCurrentProject(player_.project.get());
    for (size_t i = 0; i < retiredAfterFrame_ && i < retired_.size(); ++i) deleteTexture(retired_[i]);
    retired_.erase(retired_.begin(), retired_.begin() + std::min(retiredAfterFrame_, retired_.size()));
    retiredAfterFrame_ = 0;
  }
  if (announce_ && drawn) {
    announce_ = false;
    const double ms =
        std::chrono::duration<double, std::milli>(fs::file_time_type::clock::now() - savedAt_).count();
    if (log_)
      std::fprintf(log_, "zarvo: reloaded %s at %.2f s in %.0f ms (%d of %zu graphs built anew); on screen %.0f ms after the save\n",
                   production_.c_str(), time_, reloadMs_, graphsRebuilt_,
                   player_.project ? player_.project->graphs.size() : size_t(0), ms);
  }
  return drawn;
}
