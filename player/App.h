#pragma once
// The program: start-up, loading, the main loop and shutdown.
class DeferredLighting;
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
// shown, else 0 (unrecoverable errors end the process with 1 earlier).
int runZarvo();

// The only loop: drains window events; when none is waiting, advances the real-time clock,
// clears the device state, runs one frame step and presents (the last frame too).
void runMainLoop(Player& player, Screen& screen);
