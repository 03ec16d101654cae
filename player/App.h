#pragma once
// The program: start-up, loading, the main loop and shutdown.
class Player;
class Screen;

// Every operator type of the player: engine, scene, image and simulation libraries.
void registerPlayerOperators();

// Runs the whole program in the current working directory (config.ini, demo.opr_b, data/).
// Returns the exit code: 1 when the production file could not be used and nothing was
// shown, else 0 (unrecoverable errors end the process with 1 earlier).
int runZarvo();

// The only loop: drains window events; when none is waiting, advances the real-time clock,
// clears the device state, runs one frame step and presents (the last frame too).
void runMainLoop(Player& player, Screen& screen);
