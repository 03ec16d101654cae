#pragma once
#include <cstdint>
#include <vector>
// The program: start-up, loading, the main loop and shutdown.
class DeferredLighting;
class Project;
class Context;
class Player;
class PostProcessManager;
class Screen;

// The process-wide rendering objects, made at start-up once the shader mode is decided, in
// this order: the post-process manager, then the lighting object (which, after every
// lighting render, has the manager prepare the camera motion blur). Deleted in the same
// order at shutdown, before the shader and texture caches are emptied.
class Renderers {
 public:
  explicit Renderers(Screen* screen);
  ~Renderers();
  Renderers(const Renderers&) = delete;
  Renderers& operator=(const Renderers&) = delete;

 private:
  PostProcessManager* postProcess_ = nullptr;
  DeferredLighting* lighting_ = nullptr;
};

// Every operator type of the player: engine, scene, image and simulation libraries.
void registerPlayerOperators();

// Runs the whole program in the current working directory (config.ini, demo.opr_b, data/).
// Returns the exit code: 1 when the production file could not be used and nothing was
// shown, else 0 (unrecoverable errors end the process with 1 earlier). With arguments
// (zarvo --help lists them): 2 for a command line that cannot be used, 1 when an offline
// render failed (its message names the file).
int runZarvo(int argc = 0, char** argv = nullptr);

// Where playback stops: the end of the timeline covered without a gap from 0 (0 when
// nothing is shown at 0).
double productionEnd(const Project& project);
// Whether an operator keeps state from frame to frame (feedback, simulations, motion
// blur), so that a frame depends on the frames before it.
bool keepsHistory(const Project& project);
// The frames before `first` that a render starting at `first` must draw (without writing
// them) so that its frames equal those of a render from 0: every earlier frame whose time
// shows a graph that keeps history (or one that may draw another graph), since such state
// only moves while its graph is drawn (`ctx` reads the graph ids of "Graph" operators);
// every earlier frame when motion blur is used (it
// reads the previous frame's camera). None when nothing keeps history.
// The graphs that drawing `frames` shows (on the timeline, or drawn by a shown graph
// through a "Graph" operator), into `graphs`. False when that cannot be known for sure
// (a wired graph id, slots, mesh destruction's shared generator): then every graph.
bool graphsToWarm(Project& project, const std::vector<int32_t>& frames, int32_t fps, Context& ctx,
                  std::vector<int32_t>& graphs);
std::vector<int32_t> prerollFrames(const Project& project, int32_t first, int32_t fps, Context& ctx);

// The only loop: drains window events; when none is waiting, advances the real-time clock,
// clears the device state, runs one frame step and presents (the last frame too).
void runMainLoop(Player& player, Screen& screen);
