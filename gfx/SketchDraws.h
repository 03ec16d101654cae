#pragma once
// Sketched draws, for the warm-up while loading: every draw is recorded with the pipeline
// and bindings it would have, but its scissor is cut to one pixel of its viewport. Every GPU
// object the draw needs is made and the draw runs, so a driver that compiles its shader
// variants when a draw first runs (not with the pipeline) compiles them now; the pictures of
// the warm-up, which nobody sees, cost almost no shading. Clears and copies run in full, and
// so do dispatches: a simulation steps its state on them, and that state lives on into the
// frames.
//
// Whatever a sketched draw writes is a picture with one right pixel: code that keeps a picture
// from one evaluation to the next (history, a result made once) turns sketching off around
// its drawing with a SketchScope(context, false).
class DeviceContext;

void setSketchDraws(DeviceContext* context, bool on);
bool sketchDraws(const DeviceContext* context);

// Sketching on or off for a scope; the setting before it comes back at its end. A null
// context is left alone.
class SketchScope {
 public:
  SketchScope(DeviceContext* context, bool on);
  ~SketchScope();
  SketchScope(const SketchScope&) = delete;
  SketchScope& operator=(const SketchScope&) = delete;

 private:
  DeviceContext* context_;
  bool was_ = false;
};

// Dispatches whose results serve only the picture being drawn (a sort of particles for their
// drawing, say): while sketching, each dispatch in the scope runs one thread group, so that
// its pipeline is made and the driver compiles it, and nothing more. Outside sketching the
// scope changes nothing. A null context is left alone.
class PictureDispatchScope {
 public:
  explicit PictureDispatchScope(DeviceContext* context);
  ~PictureDispatchScope();
  PictureDispatchScope(const PictureDispatchScope&) = delete;
  PictureDispatchScope& operator=(const PictureDispatchScope&) = delete;

 private:
  DeviceContext* context_;
  bool was_ = false;
};
