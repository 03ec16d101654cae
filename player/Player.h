#pragma once
// The Player: the one evaluation Context, the production and its music. It loads the
// production behind the loading screen and renders one frame per frame step.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/Context.h"
#include "gfx/LoadFailures.h"
#include "player/FrameWriter.h"
#include "player/Music.h"
#include "player/Progress.h"

class Project;
class Screen;

class Player {
 public:
  // Starts the audio output (its result does not matter: without it the music position
  // follows the clock). Loading and dumping progress goes to progressOut (null: none).
  explicit Player(Screen* screen, FILE* progressOut = stderr);
  ~Player();
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;

  // Reads the production file (missing or unreadable: an empty production; a name ending
  // in .json is a source, built in memory as the production tool builds it), loads the
  // music unless frames are dumped, warms up every operator with the loading bar after
  // each one, then starts the music. False, after a log line saying what is wrong, when the
  // file could not be read whole (missing, a folder, empty, not a production, damaged) or
  // holds what the player leaves out.
  bool load(const std::string& projectPath = "demo.opr_b");
  // The same, warming up only the graphs whose ids `chooseGraphs` returns once the
  // production is read (an offline render that shows only some of them); it returns
  // false to warm up every graph.
  using GraphChoice = std::function<bool(Project& project, Context& ctx, std::vector<int32_t>& graphs)>;
  bool load(const std::string& projectPath, const GraphChoice& chooseGraphs);

  // One frame: false when the production is over (the music stopped, or no span covers
  // the time). Hands the frame to the output when one is set and the frame number is at
  // least its first (see setOutput); else dumps it when frame dumping is on.
  bool frame();

  // Frames numbered `first` and up go to `writer` (not owned; null: none), read back here
  // and written on the writer's thread. Without it, frame dumping writes
  // framedump/frame_NNNNNN.tiff through a writer of its own.
  void setOutput(FrameWriter* writer, int32_t first);
  // Waits until every dumped frame is on disk (the frame dump's own writer).
  bool finishDump();

  // Production time of the coming frame: the frame clock when frames are dumped, else the
  // music position when the music was started, else the real-time clock (wallClockTime).
  float productionTime();

  // Shutdown, in this order: the Context's GPU objects, the audio, the production.
  void releaseGpu();
  void freeAudio();
  void destroyProject();

  Context context;
  std::unique_ptr<Project> project;
  Music music;
  bool musicPlaying = false;
  size_t warmedUp = 0;        // operators warmed up by load()
  // The files load() could not use, each with the operator that asked for it. With
  // `reportLoadFailures` load() logs them as one summary once the warm-up is over.
  std::vector<LoadFailure> loadFailures;
  bool reportLoadFailures = false;
  // Set by a caller that drives the time itself (the watch loop's seeking and pausing):
  // every frame is then drawn at `givenTime`.
  bool timeGiven = false;
  float givenTime = 0.0f;
  int loadingBarDraws = 0;    // bars drawn and presented by load()
  // The warm-up's draws are sketched (gfx/SketchDraws.h): the same GPU objects and shader
  // variants, almost no shading. Off: every warm-up draw shades its whole picture.
  bool sketchWarmUp = true;

 private:
  void dumpFrame(float t);

  Screen* screen_ = nullptr;
  FrameWriter* output_ = nullptr;
  int32_t firstOutput_ = 0;
  std::unique_ptr<FrameWriter> dumpWriter_;  // the frame dump's, made at its first frame
  TerminalProgress progress_;
};

// Reads a production into `tree`: a .json source is built by the production tool's own
// code and written to the tree in memory, so it gives the very file `opr build` writes.
// False with `error` ("<file>:<line>: <what>" for a source) when it cannot be used; the
// tree then holds what could be read.
bool readProductionTree(const std::string& path, class TreeFile& tree, std::string& error, bool& opened);

// The default projection of every frame: left-handed, 45 degrees vertical field of view,
// near 0.1, far 1000, for the aspect w / h.
Float4x4 defaultProjection(uint32_t width, uint32_t height);
