// "RepeatInst" and "ReplicateInst" on a device: where the copies land against the CPU's
// projection of the same layouts, one draw call per operator, the instanced shadow caster,
// and a "ReplicateInst" that writes its matrices only when a parameter changed.
#include <gtest/gtest.h>

#include <cstring>

#include "gfx/DeviceContext.h"
#include "scene/GBufferRenderer.h"
#include "scene/InstanceLayout.h"
#include "scene/InstancedMeshes.h"
#include "tests/scene/MeshTestSupport.h"

namespace {

class InstancedMeshesGpuTest : public MeshGpuTest {
 protected:
  void SetUp() override {
    MeshGpuTest::SetUp();
    // Two sub-meshes in file units (0.01 of a world unit): a tall thin box and a cube off
    // to the side.
    path = write("boxes.obj", "o tall\n" + objBoxes({{{-10, -30, -10}, {10, 30, 10}}}, 1) + "o small\n" +
                                  objBoxes({{{30, -10, -10}, {50, 10, 10}}}, 9));
    tall = modelTriangles(path, 0);
    small = modelTriangles(path, 1);
    ASSERT_EQ(tall.size(), 12u);
    ASSERT_EQ(small.size(), 12u);
  }
  // The triangles of `part` under each matrix.
  static std::vector<WorldTriangle> copies(const std::vector<WorldTriangle>& part, const std::vector<Float4x4>& m) {
    std::vector<WorldTriangle> out;
    for (const Float4x4& x : m)
      for (const WorldTriangle& t : part)
        out.push_back({mat::transformPoint(t[0], x), mat::transformPoint(t[1], x), mat::transformPoint(t[2], x)});
    return out;
  }
  std::string path;
  std::vector<WorldTriangle> tall, small;
};

TEST_F(InstancedMeshesGpuTest, RepeatInstDrawsTheProgressionInOneCall) {
  // Copies of a sub-mesh do not take its node transform (nor the 0.01 of the file units):
  // this file is written in world units.
  const std::string unit = write("unit.obj", "o tall\n" + objBoxes({{{-0.1f, -0.3f, -0.1f}, {0.1f, 0.3f, 0.1f}}}, 1) +
                                                 "o small\n" + objBoxes({{{0.4f, -0.05f, -0.05f}, {0.5f, 0.05f, 0.05f}}}, 9));
  Operator& op = makeOp(g, "RepeatInst");
  setText(op, "Filepath", unit);
  setParam(op, "Count", 3);
  setParam(op, "Position.X", 0.5f);
  setParam(op, "Rotation.Z", 20.0f);
  setParam(op, "Scale.Y", 1.2f);
  std::vector<Float4x4> layout;
  for (int i = 0; i < 3; ++i) layout.push_back(repeatStep(i, {0.5f, 0, 0}, {0, 0, 20}, {1, 1.2f, 1}));
  lookFrom({0.5f, 0.2f, -2.2f});
  const uint64_t draws = device()->counters().draws;
  const FloatImage albedo = draw(op);
  EXPECT_EQ(device()->counters().draws - draws, 1u);
  const Agreement a = compare(albedo, copies(modelTriangles(unit, 0, Float4x4{}, false), layout));
  EXPECT_GE(a.ratio(), 0.99) << a.agree << " of " << a.settled;
  EXPECT_GT(a.covered, 60);
  EXPECT_TRUE(shadowCasters().empty());
  // The Context's program is put back.
  EXPECT_EQ(context.shader, context.gbufferRenderer->gbufferProgram.get());

  // Count below one draws the sub-mesh once, as it lies in the file.
  setParam(op, "Count", -4);
  setParam(op, "MeshID", 1);
  lookFrom({0.45f, 0, -1});
  EXPECT_GE(compare(draw(op), modelTriangles(unit, 1, Float4x4{}, false)).ratio(), 0.99);

  // MeshID -1 (the "Mesh" default) and one past the end select nothing.
  for (float id : {-1.0f, 2.0f}) {
    setParam(op, "MeshID", id);
    const uint64_t before = device()->counters().draws;
    EXPECT_EQ(covered(draw(op)), 0);
    EXPECT_EQ(device()->counters().draws, before);
  }
}

TEST_F(InstancedMeshesGpuTest, ReplicateInstPlacesCopiesCastsOneShadowAndKeepsItsMatrices) {
  Operator& op = makeOp(g, "ReplicateInst");
  setText(op, "Filepath", path);
  setParam(op, "MeshID", 1);
  setParam(op, "Count", 4);
  setParam(op, "Radius", 0.8f);
  setParam(op, "RotateRandom.Y", 40);
  setParam(op, "Seed", 3);
  ReplicateSettings s;
  s.count = 4;
  s.radius = 0.8f;
  s.rotateRandom = {0, 40, 0};
  s.seed = 3;
  ModelReadOptions o;
  o.root = mat::scaling({0.01f, 0.01f, 0.01f});
  std::vector<ModelPart> parts;
  readModelFile(path, o, parts);
  std::vector<Float4x4> layout(4);
  replicateInstances(s, parts[1].transform, layout.data());
  // The copies carry the node transform themselves: start from the untransformed cube.
  std::vector<WorldTriangle> cube = small;
  const Float4x4 undoNode = mat::inverse(parts[1].transform);
  for (auto& t : cube)
    for (Float3& p : t) p = mat::transformPoint(p, undoNode);

  lookFrom({0, 1.8f, -1.8f}, 0, 45);
  const uint64_t draws = device()->counters().draws;
  const FloatImage albedo = draw(op);
  EXPECT_EQ(device()->counters().draws - draws, 1u);
  const Agreement a = compare(albedo, copies(cube, layout));
  EXPECT_GE(a.ratio(), 0.99) << a.agree << " of " << a.settled;
  EXPECT_GT(a.covered, 20);
  auto* f = functionOf<ReplicateInstOp::ReplicateFunction>(op);
  ASSERT_EQ(shadowCasters().size(), 1u);
  EXPECT_EQ(shadowCasters()[0].kind, uint32_t(kCasterInstanced));
  EXPECT_EQ(shadowCasters()[0].instanceCount, 4u);
  EXPECT_EQ(shadowCasters()[0].geometry, f->instanced.get());
  // The cached sub-mesh is untouched; the caster's mesh carries the stream in slot 1.
  const Mesh* shared = f->subMeshes[1].mesh.get();
  EXPECT_EQ(shared->vertexBuffers[1], nullptr);
  EXPECT_EQ(f->instanced->vertexBuffers[0], shared->vertexBuffers[0]);
  EXPECT_EQ(f->instanced->vertexBuffers[1], f->instanceBuffer);
  EXPECT_EQ(f->instanced->strides[1], 64u);

  // Unchanged parameters do not rewrite the stream: zero it behind the operator's back and
  // nothing is drawn.
  MappedSubresource m;
  ASSERT_TRUE(device()->context()->map(f->instanceBuffer, 0, D3D11_MAP_WRITE_DISCARD, m));
  std::memset(m.data, 0, 4 * 64);
  device()->context()->unmap(f->instanceBuffer, 0);
  EXPECT_EQ(covered(draw(op)), 0);
  // A new seed rewrites it with a new layout.
  setParam(op, "Seed", 4);
  s.seed = 4;
  replicateInstances(s, parts[1].transform, layout.data());
  EXPECT_GE(compare(draw(op), copies(cube, layout)).ratio(), 0.99);
  // A new count makes a new buffer.
  setParam(op, "Count", 5);
  s.count = 5;
  layout.resize(5);
  replicateInstances(s, parts[1].transform, layout.data());
  EXPECT_GE(compare(draw(op), copies(cube, layout)).ratio(), 0.99);
  EXPECT_EQ(f->instanceBuffer->width(), 5u);
  EXPECT_EQ(f->bufferCount, 5);

  // Count 0 draws nothing and adds no caster.
  setParam(op, "Count", 0);
  const uint64_t before = device()->counters().draws;
  EXPECT_EQ(covered(draw(op)), 0);
  EXPECT_EQ(device()->counters().draws, before);
  EXPECT_TRUE(shadowCasters().empty());
}

}  // namespace
