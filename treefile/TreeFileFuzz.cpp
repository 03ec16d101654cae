// libFuzzer entry for the tree file reader. Whatever the input, reading must neither
// crash nor grow without bound, and the tree it yields (complete or not) must survive a
// write and a second read unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "treefile/TreeFile.h"

namespace {

// Small limits keep each run fast; the sizes still cover every code path.
constexpr TreeReadLimits kLimits{64, 1u << 20, 1u << 16};

void check(bool ok) {
  if (!ok) std::abort();
}

bool sameTree(const TreeNode& a, const TreeNode& b) {
  if (a.name != b.name || a.siblingIndex != b.siblingIndex || a.type != b.type || a.value != b.value ||
      a.children.size() != b.children.size()) {
    return false;
  }
  for (auto ia = a.children.begin(), ib = b.children.begin(); ia != a.children.end(); ++ia, ++ib) {
    if (!sameTree(*ia->second, *ib->second)) return false;
  }
  return true;
}

// Runs the typed accessors over every node, as the loader would.
void readAll(const TreeNode& node) {
  for (const auto& [key, c] : node.children) {
    const TreeNodeRef ref{const_cast<TreeNode*>(&node), false};
    int32_t i = 0;
    uint8_t b = 0;
    float f = 0;
    float v[2] = {0, 0};
    std::string s;
    serializeInt(ref, c->name.c_str(), i);
    serializeInt(ref, c->name.c_str(), b);
    serializeFloat(ref, c->name.c_str(), f);
    serializeString(ref, c->name.c_str(), s);
    serializeVec2(ref, c->name.c_str(), v);
    countChildren(ref, c->name.c_str());
    readAll(*c);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TreeFile first;
  {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size), std::ios::binary);
    first.read(in, kLimits);
  }
  readAll(first.root());

  std::ostringstream out(std::ios::binary);
  check(first.write(out));
  const std::string bytes = out.str();

  TreeFile second;
  std::istringstream again(bytes, std::ios::binary);
  check(second.read(again, kLimits));
  check(sameTree(first.root(), second.root()));

  std::ostringstream out2(std::ios::binary);
  check(second.write(out2));
  check(out2.str() == bytes);
  return 0;
}
