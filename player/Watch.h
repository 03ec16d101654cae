#pragma once
// The author's loop: a production played with a cursor the author moves, reloaded when it
// or a file it uses changes on disk. A reload keeps the cursor, rebuilds the production
// while the last good version stays on screen, and swaps only when the new one loaded
// whole; shaders whose files did not change come from the compiled-shader cache.
// Nothing here needs a window: the program feeds it keys and frames, tests drive it
// offscreen.
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

class Player;
class Texture;
class TreeFile;
class Project;

// What a key asks of the cursor.
enum class WatchKey { None, PauseResume, Back, Forward, BackFar, ForwardFar, PreviousFrame, NextFrame, Home, Loop };
// Space, Left and Right (with Shift: ten seconds), Comma and Period, Home, L; SDL key codes.
WatchKey watchKeyFor(int32_t sdlKey, bool shift);

class WatchSession {
 public:
  enum class Reload { None, Done, Failed };

  // `log` receives the reload lines (null: none).
  WatchSession(Player& player, std::string production, int32_t fps = 60, FILE* log = stderr);
  ~WatchSession();
  WatchSession(const WatchSession&) = delete;
  WatchSession& operator=(const WatchSession&) = delete;

  // The first load, through the player. False when the production cannot be used (the
  // reason is logged); the loop may still run and pick up a mended file.
  bool start();

  // Looks at the stamps of every watched file and reloads when one changed.
  Reload poll();
  // Reloads after `changed` files changed (the production, its shaders, textures, meshes
  // or music). Failed, with lastError() saying which file and line, keeps the last good
  // version playing.
  Reload reload(const std::vector<std::string>& changed);

  // The cursor, in seconds of production time.
  double time() const { return time_; }
  bool paused() const { return paused_; }
  bool looping() const { return loopEnd_ > loopStart_; }
  // Real time passing: moves the cursor unless paused; inside a loop it wraps, and at the
  // production's end it stops there, paused.
  void advance(double seconds);
  void apply(WatchKey key);
  void seekTo(double t);

  // Draws the frame at the cursor into the screen's back buffer (the caller presents).
  // False when there is nothing to draw.
  bool drawFrame();

  // "12.34 s | intro | 58.9 fps", with the loop and the pause shown.
  std::string title(double framesPerSecond) const;
  // The name of the span the top graph is shown by at `t` ("" when none).
  std::string spanNameAt(double t) const;
  // The production's end (where the spans from 0 stop).
  double end() const;

  const std::string& lastError() const { return lastError_; }
  int reloads() const { return reloads_; }
  // The graphs the last successful reload built anew (the others moved over as they were).
  int graphsRebuilt() const { return graphsRebuilt_; }
  const std::vector<std::string>& watchedFiles() const { return watched_; }

 private:
  struct Stamp {
    std::filesystem::file_time_type time{};
    uintmax_t size = uintmax_t(-1);  // -1: missing
    bool operator!=(const Stamp& o) const { return time != o.time || size != o.size; }
  };
  static Stamp stampOf(const std::string& file);
  void collectWatched();
  void fail(const std::string& why);
  void followMusic();
  void restartMusic();

  Player& player_;
  std::string production_;
  int32_t fps_;
  FILE* log_;
  double time_ = 0.0;
  bool paused_ = false;
  double loopStart_ = 0.0, loopEnd_ = 0.0;
  std::string lastError_;
  int reloads_ = 0;
  std::vector<std::string> watched_;
  std::map<std::string, Stamp> stamps_;
  std::vector<Texture*> retired_;  // textures the production on screen may still bind
  // The tree of the version on screen: a graph whose part of the tree is unchanged (and
  // that names no changed file) moves into the new version already warmed up.
  std::unique_ptr<TreeFile> shownTree_;
  int graphsRebuilt_ = 0;
  // Versions replaced by a reload, and how many of retired_ they may bind: both go once
  // the first frame after the reload has been waited for.
  std::vector<std::unique_ptr<Project>> retiredProjects_;
  size_t retiredAfterFrame_ = 0;
  double reloadMs_ = 0.0;
  // The latest save among the files of the last reload, until its first frame is drawn
  // (the reload line then says how long after the save the picture changed).
  bool announce_ = false;
  std::filesystem::file_time_type savedAt_{};
};
