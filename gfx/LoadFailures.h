#pragma once
// Files that a production asked for and that could not be used (a shader that is missing
// or does not compile, a texture, a mesh, the music). Loaders note them here as they
// fail; the player names, once loading is over, each one with the operator that asked.
#include <cstddef>
#include <string>
#include <vector>

struct LoadFailure {
  std::string kind;       // "shader", "texture", "mesh" or "music"
  std::string file;       // as the production or the shader names it
  std::string why;        // the first line of the reason
  std::string requester;  // who asked, e.g. graph 3 "intro", operator 12 ImageShader; empty: not known
};

// Notes one failure. The same file failing again for the same reason is noted once.
void noteLoadFailure(const char* kind, const std::string& file, const std::string& why);
// How many failures are noted; a mark for attributeLoadFailures.
size_t loadFailureCount();
// Names `requester` as the asker of every failure noted since `mark` that has none yet.
void attributeLoadFailures(size_t mark, const std::string& requester);
// The failures noted so far, emptying the list.
std::vector<LoadFailure> takeLoadFailures();
// The summary: one line saying how many, then one indented line per failure.
std::string describeLoadFailures(const std::vector<LoadFailure>& failures);

// Whether the shader manager logs a line for every program it loads (on by default: the
// player without arguments always did; the player's options turn it off unless --verbose).
void setProgramLoadLines(bool on);
bool programLoadLines();
