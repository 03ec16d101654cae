#pragma once
// Helpers shared by the scene operators (and the image operators that set a camera):
// reading three parameters as a vector, the world save/restore that every transforming
// operator wraps around its input, and the time at which "previous" matrices are built.
#include <vector>

#include "engine/Port.h"

// Every matrix that feeds velocity has a twin built from the parameters at t - kPreviousDt.
inline constexpr float kPreviousDt = 0.001f;

// Inputs first, first + 1 and first + 2, read in that order at time t.
inline Float3 evalFloat3(const std::vector<Port*>& s, size_t first, float t, Context& ctx) {
  Float3 v;
  v.x = evalFloat(s, first, t, ctx);
  v.y = evalFloat(s, first + 1, t, ctx);
  v.z = evalFloat(s, first + 2, t, ctx);
  return v;
}

// Restores the world matrices on scope exit, so an operator leaves them bit for bit as it
// found them however its input returns.
class SavedWorld {
 public:
  explicit SavedWorld(Context& ctx) : ctx_(ctx), world_(ctx.world), worldPrev_(ctx.worldPrev) {}
  ~SavedWorld() {
    ctx_.world = world_;
    ctx_.worldPrev = worldPrev_;
  }
  SavedWorld(const SavedWorld&) = delete;
  SavedWorld& operator=(const SavedWorld&) = delete;
  const Float4x4& world() const { return world_; }
  const Float4x4& worldPrev() const { return worldPrev_; }

 private:
  Context& ctx_;
  Float4x4 world_, worldPrev_;
};
