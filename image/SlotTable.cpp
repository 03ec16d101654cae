#include "image/SlotTable.h"

SlotTable& SlotTable::instance() {
  static SlotTable table;
  return table;
}

void SlotTable::set(int32_t id, Texture* target) { slots_[id] = target; }

Texture* SlotTable::find(int32_t id) const {
  auto it = slots_.find(id);
  return it == slots_.end() ? nullptr : it->second;
}

void SlotTable::replace(const Texture* target, Texture* replacement) {
  for (auto it = slots_.begin(); it != slots_.end();) {
    if (it->second != target) {
      ++it;
    } else if (replacement) {
      it->second = replacement;
      ++it;
    } else {
      it = slots_.erase(it);
    }
  }
}

void SlotTable::clear() { slots_.clear(); }
