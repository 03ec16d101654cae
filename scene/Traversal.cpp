#include "scene/Traversal.h"

Texture* evalImageInput(const std::vector<Port*>& sources, size_t i, float t, Context& ctx) {
  if (!isConnected(sources, i)) return nullptr;
  Texture* saved = ctx.imageResult;
  sources[i]->evaluate(t, ctx);
  Texture* image = ctx.imageResult;
  ctx.imageResult = saved;
  return image;
}

void evalEachConnection(const std::vector<Port*>& sources, size_t i, float t, Context& ctx) {
  static int depth = 0;
  constexpr int kMaxDepth = 256;
  if (i >= sources.size() || depth >= kMaxDepth) return;
  ++depth;
  for (Port* upstream : sources[i]->sources) upstream->evaluate(t, ctx);
  --depth;
}
