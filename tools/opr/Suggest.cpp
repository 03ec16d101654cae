#include "tools/opr/Suggest.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace {

std::string lower(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Edit distance with adjacent transpositions (optimal string alignment), stopping early
// once every entry of a row exceeds `limit`.
size_t distance(const std::string& a, const std::string& b, size_t limit) {
  const size_t n = a.size(), m = b.size();
  if ((n > m ? n - m : m - n) > limit) return limit + 1;
  std::vector<size_t> prev2(m + 1), prev(m + 1), cur(m + 1);
  for (size_t j = 0; j <= m; ++j) prev[j] = j;
  for (size_t i = 1; i <= n; ++i) {
    cur[0] = i;
    size_t rowMin = cur[0];
    for (size_t j = 1; j <= m; ++j) {
      const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      size_t d = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d = std::min(d, prev2[j - 2] + 1);
      cur[j] = d;
      rowMin = std::min(rowMin, d);
    }
    if (rowMin > limit) return limit + 1;
    std::swap(prev2, prev);
    std::swap(prev, cur);
  }
  return prev[m];
}

}  // namespace

std::string closestName(const std::string& typed, const std::vector<std::string>& candidates) {
  // Names typed by hand are short; a pasted blob is no typo of anything.
  if (typed.empty() || typed.size() > 256) return {};
  const std::string t = lower(typed);
  // One edit for short names, about one in four letters for longer ones.
  const size_t limit = std::max<size_t>(1, t.size() / 4);
  std::string best;
  size_t bestDistance = std::numeric_limits<size_t>::max();
  for (const std::string& c : candidates) {
    if (c == typed) continue;
    const size_t d = distance(t, lower(c), limit);
    if (d <= limit && d < bestDistance) {
      best = c;
      bestDistance = d;
    }
  }
  return best;
}

std::string didYouMean(const std::string& typed, const std::vector<std::string>& candidates) {
  const std::string best = closestName(typed, candidates);
  return best.empty() ? std::string() : " (did you mean \"" + best + "\"?)";
}
