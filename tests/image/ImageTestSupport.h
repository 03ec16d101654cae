#pragma once
// Helpers for the image operator suites: an image leaf that records what it saw and leaves a
// picture of its choice, and a graph with the scene and image operators registered.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/Project.h"
#include "image/Operators.h"
#include "scene/Operators.h"
#include "tests/engine/TestSupport.h"

namespace imagetest {

struct Seen {
  float t = 0.0f;
  Viewport viewport;
  Texture* imageResult = nullptr;  // on entry
  Float4x4 camera, cameraPrev, projection;
  float zNear = 0, zFar = 0, fov = 0;
};

// An image leaf: records each evaluation, then runs `draw` (if any) and leaves `result` as the
// picture when it is set.
class ImageProbe : public Operator {
 public:
  ImageProbe() : Operator(CategoryImage) {
    addOutput("ImageOut", PortType::Image, std::make_unique<Fn>(this));
    linkOutput();
  }
  struct Fn : Function {
    explicit Fn(ImageProbe* o) : owner(o) {}
    void evaluate(float t, const std::vector<Port*>&, Context& ctx) override {
      owner->seen.push_back({t, ctx.viewport, ctx.imageResult, ctx.camera, ctx.cameraPrev, ctx.projection, ctx.zNear,
                             ctx.zFar, ctx.fov});
      if (owner->draw) owner->draw(ctx);
      if (owner->result) ctx.imageResult = owner->result;
    }
    ImageProbe* owner;
  };
  std::vector<Seen> seen;
  Texture* result = nullptr;
  std::function<void(Context&)> draw;
};

struct ImageGraph {
  ImageGraph() : graph(newGraph(1)) {
    registerSceneOperators();
    registerImageOperators();
  }
  Operator& op(const std::string& type) { return make(*graph, type); }
  ImageProbe& probe() { return add<ImageProbe>(*graph); }
  void connect(Operator& from, const std::string& out, Operator& to, const std::string& in) {
    if (!graph->connect(from, out, to, in)) throw std::runtime_error("cannot connect " + out + " to " + in);
  }
  // Output 0 of `from` into the first input of `to`.
  void feed(Operator& from, Operator& to) { connect(from, from.outputs.at(0).name, to, to.inputs.at(0).name); }
  void eval(Operator& op, float t, size_t output = 0) { op.outputs.at(output).evaluate(t, ctx); }

  std::unique_ptr<OperatorGraph> graph;
  Context ctx;
};

// A stand-in texture pointer for CPU tests that only compare pictures by identity.
inline Texture* marker(uintptr_t n) { return reinterpret_cast<Texture*>(n * 64); }

}  // namespace imagetest
