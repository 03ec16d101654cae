#include "engine/Port.h"

#include <algorithm>

#include "engine/Choice.h"
#include "engine/FloatOperators.h"

void Float::serialize(TreeNodeRef node, const char* key) { serializeFloat(node, key, value); }

void Text::serialize(TreeNodeRef node, const char* key) { serializeString(node, key, value); }

int32_t choiceIndex(float value) { return truncToInt32(value); }

int32_t evalChoice(const std::vector<Port*>& sources, size_t i, float t, Context& ctx) {
  return choiceIndex(evalFloat(sources, i, t, ctx));
}

void ValueFunction::evaluate(float t, const std::vector<Port*>& sources, Context& ctx) {
  if (!sources.empty() && !active_) {
    Port* upstream = sources[0];
    active_ = true;
    upstream->source->evaluate(t, upstream->sources, ctx);
    active_ = false;
    holder->readResult(ctx);
  }
  holder->writeResult(ctx);
}

void ValueFunction::assign(Context& ctx, float t) {
  (void)t;
  holder->readResult(ctx);
}

void ValueFunction::serialize(TreeNodeRef node, const char* key) { holder->serialize(node, key); }

Port::~Port() = default;

bool Port::link(Port* p, int32_t index) {
  if (std::find(sources.begin(), sources.end(), p) != sources.end()) return false;
  sources.push_back(p);
  sourceOrder.push_back({p, index});
  return true;
}

void Port::unlink(Port* p) {
  auto it = std::find(sources.begin(), sources.end(), p);
  if (it != sources.end()) sources.erase(it);
  auto ot = std::find_if(sourceOrder.begin(), sourceOrder.end(), [p](const SourceOrder& o) { return o.port == p; });
  if (ot != sourceOrder.end()) sourceOrder.erase(ot);
}

int32_t Port::sourcePosition(const Port* p) const {
  auto it = std::find(sources.begin(), sources.end(), p);
  return it == sources.end() ? -1 : static_cast<int32_t>(it - sources.begin());
}

void Port::sortSources() {
  std::stable_sort(sourceOrder.begin(), sourceOrder.end(),
                   [](const SourceOrder& a, const SourceOrder& b) { return a.index < b.index; });
  sources.clear();
  for (const SourceOrder& o : sourceOrder) sources.push_back(o.port);
}
