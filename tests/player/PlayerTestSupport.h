#pragma once
// Helpers for the player's device tests: a scratch working directory holding the shader
// folder, and small productions written through the production loader.
#include <unistd.h>
#include <sndfile.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/Project.h"
#include "project/ProjectLoader.h"

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
  SF_INFO info{};
  info.samplerate = 44100;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* f = sf_open(file.string().c_str(), SFM_WRITE, &info);
  if (!f) return false;
  int frames = int(seconds * info.samplerate);
  std::vector<float> data(size_t(frames) * 2);
  for (int i = 0; i < frames; ++i) data[size_t(i) * 2] = data[size_t(i) * 2 + 1] = 0.2f * std::sin(0.05f * i);
  sf_writef_float(f, data.data(), frames);
  sf_close(f);
  return true;
}

}  // namespace playertest
