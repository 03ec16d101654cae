#pragma once
// Helpers for the player's device tests: a scratch working directory holding the shader
// folder, and small productions written through the production loader.
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/Project.h"
#include "project/ProjectLoader.h"
#include "tests/player/TestSound.h"

namespace playertest {

namespace fs = std::filesystem;

// A fresh directory with data/ linked to the repository's data folder.
inline fs::path makeWorkDir(const std::string& name) {
  fs::path dir = fs::temp_directory_path() / ("zv_player_" + std::to_string(getpid()) + "_" + name);
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::create_directory_symlink(fs::path(ZV_SOURCE_DIR) / "data", dir / "data");
  return dir;
}

// The default production (one graph shown from 0 to 60 s) shortened to [0, end), with
// `extra` float operators added to its graph and the given music path.
inline bool writeProduction(const fs::path& file, float end, int extra, const std::string& music = "") {
  Project p;
  p.tracks[0].spans[0]->timeEnd = end;
  for (int i = 0; i < extra; ++i) p.graphs[0]->createOperator(i % 2 ? "Sin" : "Time");
  p.musicPath = music;
  return saveProjectFile(file.string(), p);
}

// A production without graphs or spans.
inline bool writeEmptyProduction(const fs::path& file) {
  Project p;
  p.clear();
  return saveProjectFile(file.string(), p);
}

inline bool writeTone(const fs::path& file, double seconds) {
  return writeSound(file.string(), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, int(seconds * 44100));
}

}  // namespace playertest
