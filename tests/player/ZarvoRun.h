#pragma once
// Runs the program itself offscreen in a scratch working directory, as a user would, and
// builds small productions from the sample's source for it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/player/PlayerTestSupport.h"

namespace playertest {

struct ZarvoRun {
  int exitCode = -1;
  std::string out, err;
};

inline std::string slurp(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs zarvo in dir without a display (SDL's offscreen video driver, dummy audio).
// `env` adds variables (NAME=value ...), `args` goes on the command line.
inline ZarvoRun runZarvo(const fs::path& dir, const std::string& env = "", const std::string& args = "") {
  std::string command = "cd '" + dir.string() +
                        "' && env -u DISPLAY -u WAYLAND_DISPLAY SDL_VIDEODRIVER=offscreen SDL_AUDIODRIVER=dummy "
                        "ZV_VALIDATION=1 " + env + " timeout 120 '" ZV_ZARVO_PATH "' " + args + " > out.txt 2> err.txt";
  int status = std::system(command.c_str());
  ZarvoRun run;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = slurp(dir / "out.txt");
  run.err = slurp(dir / "err.txt");
  return run;
}

// A small production from the sample's source, without music: its reflections scene (fog,
// sprites), its particle scene (emitters, curl noise, smoke) with a Feedback added at its
// end, and its fluid and cloth scene, in the order of `ids`, each shown for `framesEach`
// frames.
inline nlohmann::json historyProduction(const std::vector<int>& ids, int framesEach) {
  std::ifstream in(fs::path(ZV_SOURCE_DIR) / "demo/demo.json");
  nlohmann::json sample = nlohmann::json::parse(in);
  nlohmann::json out;
  out["graphs"] = nlohmann::json::array();
  nlohmann::json spans = nlohmann::json::array();
  for (size_t k = 0; k < ids.size(); ++k) {
    for (auto& g : sample["graphs"]) {
      if (g["id"] != ids[k]) continue;
      if (ids[k] == 4) {
        g["operators"].push_back({{"id", 90}, {"type", "Feedback"}});
        for (auto& c : g["connections"])
          if (c["to"] == 0) c["to"] = 90, c["input"] = "ImageIn";
        g["connections"].push_back({{"from", 90}, {"output", "ImageOut"}, {"to", 0}, {"input", "In"}});
      }
      out["graphs"].push_back(g);
    }
    const double start = double(k * framesEach) / 60.0, end = double((k + 1) * framesEach) / 60.0;
    spans.push_back({{"graph", ids[k]}, {"start", start}, {"end", end}, {"offsetGlobal", -start}});
  }
  out["tracks"] = nlohmann::json::array({spans});
  return out;
}

inline void buildProduction(const fs::path& dir, const nlohmann::json& source) {
  std::ofstream(dir / "history.json") << source.dump(1);
  const std::string build = std::string("'") + ZV_OPR_PATH + "' build '" + (dir / "history.json").string() +
                            "' -o '" + (dir / "demo.opr_b").string() + "'";
  ASSERT_EQ(std::system(build.c_str()), 0) << build;
}

}  // namespace playertest
