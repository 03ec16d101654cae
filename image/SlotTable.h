#pragma once
// The slot table: one process-wide map from a slot id to the picture a "SlotIn" left there,
// read by "SlotOut" later in the frame or in a later frame. The pictures belong to the SlotIn
// functions that wrote them; a SlotIn that remakes or drops its target updates the table, so
// an entry never points at a deleted texture.
#include <cstddef>
#include <cstdint>
#include <map>

class Texture;

class SlotTable {
 public:
  static SlotTable& instance();

  // Inserts or overwrites the entry of `id`.
  void set(int32_t id, Texture* target);
  // The entry of `id`, or null when no SlotIn has written it.
  Texture* find(int32_t id) const;
  // Every entry holding `target` holds `replacement` afterwards; a null replacement removes them.
  void replace(const Texture* target, Texture* replacement);
  void clear();
  size_t size() const { return slots_.size(); }

 private:
  std::map<int32_t, Texture*> slots_;
};
