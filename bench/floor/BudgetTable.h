#pragma once
// What each benchmarked effect must at least do, as full-screen passes of so many bilinear
// fetches over so much of the 1280 x 720 target, and the table of time over that floor.
#include <map>
#include <string>
#include <vector>

namespace budget {

struct PassWork {
  double fetches;       // texture reads per pixel the pass cannot avoid
  double area = 1.0;    // share of the full target it covers (0.25 for half size)
};

struct EffectWork {
  std::string label;    // as printed
  std::string bench;    // the benchmark's full name
  std::vector<PassWork> passes;
  std::string minus;    // when set: this benchmark's time is subtracted (a part of a frame)
};

// The effects and the lit frame's parts, with their passes' fetch counts.
const std::vector<EffectWork>& effectWork();

// Floor of an effect: the sum over its passes of the interpolated floor.
double floorOf(const std::vector<PassWork>& passes, const std::map<int, double>& floors);

// The whole table: floors, then each effect's minimum time, its floor and the ratio, and
// every other benchmark's time without a ratio.
std::string formatTable(const std::map<int, double>& floors, const std::map<std::string, double>& times);

}  // namespace budget
