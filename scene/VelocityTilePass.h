#pragma once
// What builds a G-buffer set's velocity tiles over a region: the camera motion blur's
// preparation, which the lighting runs after every lighting render. The post-process
// manager is one; the lighting is handed it (DeferredLighting::velocityTiles).
#include "engine/Context.h"

struct GBufferSet;

class VelocityTilePass {
 public:
  virtual ~VelocityTilePass() = default;
  virtual void buildVelocityTiles(GBufferSet& set, const Viewport& viewport) = 0;
};
