#include "bench/floor/BudgetTable.h"

#include <cstdio>
#include <set>

#include "bench/floor/FloorPasses.h"

namespace budget {

namespace {

std::vector<PassWork> repeat(PassWork p, int n) { return std::vector<PassWork>(size_t(n), p); }

std::vector<PassWork> join(std::initializer_list<std::vector<PassWork>> parts) {
  std::vector<PassWork> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

std::string effectBench(const char* type) {
  return std::string("BM_Effect/") + type + "/min_time:1.000/real_time";
}

std::string litBench(int lights) { return "BM_LitFrame/lights:" + std::to_string(lights) + "/real_time"; }

}  // namespace

// Fetch counts are those every pixel pays at the benchmarks' parameters (radius 50 at 720p
// gives 8 bilinear pairs a side for both blurs; a mask that is not connected is not counted:
// a grading pass's floor is one fetch). FXAA counts its five-tap edge test, which every pixel
// does; the edge walk only runs on edges.
const std::vector<EffectWork>& effectWork() {
  static const std::vector<EffectWork> table = [] {
    // SSAO does its occlusion and blurs over a quarter of its targets and combines at full
    // size (the picture, the G-buffer, and gathers of the occlusion and of its depth's bytes).
    const std::vector<PassWork> ssao{{16, 0.25}, {18, 0.25}, {18, 0.25}, {6}};
    const std::vector<PassWork> bloom = join({{{4, 0.25}}, repeat({17, 0.25}, 4), {{2}}});
    const std::vector<PassWork> dof{{2}, {18}, {18}, {2}};
    std::vector<EffectWork> t{
        {"ToneMapping", effectBench("ToneMapping"), {{1}}, ""},
        {"FXAA", effectBench("FXAA"), {{5}}, ""},
        {"SSAO", effectBench("SSAO"), ssao, ""},
        {"Bloom", effectBench("Bloom"), bloom, ""},
        {"GaussBlur", effectBench("GaussBlur"), {{17}, {17}}, ""},
        {"RadialBlur", effectBench("RadialBlur"), {{24}}, ""},
        {"Invert", effectBench("Invert"), {{1}}, ""},
        {"Grain", effectBench("Grain"), {{1}}, ""},
        {"Feedback", effectBench("Feedback"), {{2}, {1}, {1}}, ""},
        {"DOF", effectBench("DOF"), dof, ""},
        {"MotionBlur", effectBench("MotionBlur"), {{18}}, ""},
        {"ColorCorrection", effectBench("ColorCorrection"), {{1}}, ""},
        {"CCSplitToning", effectBench("CCSplitToning"), {{1}}, ""},
        {"CCColor", effectBench("CCColor"), {{1}}, ""},
        {"CCHSL", effectBench("CCHSL"), {{1}}, ""},
        {"CCTone", effectBench("CCTone"), {{1}}, ""},
        {"sample post chain", "BM_SamplePostChain/min_time:1.000/real_time",
         join({ssao, bloom, dof, {{1}}, {{5}}, {{1}}, {{1}}}), ""},
        // The lit frame: G-buffer reads (albedo, normal, material, emissive, depth) are five
        // fetches; shadows add a 3 x 3 comparison filter; the image-based term adds the
        // environment twice and the lookup table. Point-light spheres and the spot cone
        // cover an estimated share of the screen (radius 3 at about 11 units: 0.15 each).
        {"lit frame, no light (clear, combine, image-based)", litBench(0), {{1}, {2}, {8}}, ""},
        {"directional light", litBench(1), {{5}}, litBench(0)},
        {"directional light, 2 cascades", litBench(9), {{14}}, litBench(0)},
        {"16 point lights", litBench(2), repeat({5, 0.15}, 16), litBench(0)},
        {"spot light", litBench(4), {{5, 0.5}}, litBench(0)},
        {"spot light with shadow", litBench(12), {{14, 0.5}}, litBench(0)},
        {"lit frame, every light, shadows", litBench(15),
         join({{{1}, {2}, {8}, {14}}, repeat({5, 0.15}, 16), {{14, 0.5}}}), ""},
    };
    return t;
  }();
  return table;
}

double floorOf(const std::vector<PassWork>& passes, const std::map<int, double>& floors) {
  double sum = 0;
  for (const PassWork& p : passes) sum += floorpass::interpolateFloor(floors, p.fetches, p.area);
  return sum;
}

std::string formatTable(const std::map<int, double>& floors, const std::map<std::string, double>& times) {
  std::string out;
  char line[256];
  out += "Floors (ms per 1280x720 RGBA16F pass, k bilinear fetches):";
  for (const auto& [k, ms] : floors) {
    std::snprintf(line, sizeof line, "  k=%d %.2f", k, ms);
    out += line;
  }
  out += "\n\n| effect | ms | floor ms | ratio |\n|---|---|---|---|\n";
  std::set<std::string> used;
  for (const EffectWork& e : effectWork()) {
    auto found = times.find(e.bench);
    if (found == times.end()) continue;
    double ms = found->second;
    if (!e.minus.empty()) {
      auto base = times.find(e.minus);
      if (base == times.end()) continue;
      ms -= base->second;
    }
    used.insert(e.bench);
    const double floor = floors.empty() ? 0 : floorOf(e.passes, floors);
    if (floor > 0)
      std::snprintf(line, sizeof line, "| %s | %.2f | %.2f | %.2f |\n", e.label.c_str(), ms, floor, ms / floor);
    else
      std::snprintf(line, sizeof line, "| %s | %.2f | - | - |\n", e.label.c_str(), ms);
    out += line;
  }
  for (const auto& [name, ms] : times) {
    if (used.count(name)) continue;
    std::snprintf(line, sizeof line, "| %s | %.3f | - | - |\n", name.c_str(), ms);
    out += line;
  }
  return out;
}

}  // namespace budget
