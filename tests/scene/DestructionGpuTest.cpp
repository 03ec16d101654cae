// "DestructMesh" and "DynaMesh" on a device: pieces in place look like the whole mesh,
// pieces pushed apart land where the CPU puts them, and the GPU cut makes the triangles
// (and counts) the CPU's cut of the same planes makes.
#include <gtest/gtest.h>

#include <cstring>

#include "gfx/ShaderProgram.h"
#include "scene/Destruction.h"
#include "scene/GBufferRenderer.h"
#include "tests/scene/MeshTestSupport.h"

namespace {

std::vector<WorldTriangle> soupTriangles(const TriangleSoup& soup, Float3 offset = {}) {
  std::vector<WorldTriangle> out;
  for (size_t i = 0; i + 3 <= soup.size(); i += 3)
    out.push_back({soup[i].position + offset, soup[i + 1].position + offset, soup[i + 2].position + offset});
  return out;
}

class DestructionGpuTest : public MeshGpuTest {
 protected:
  // A 2 x 1 x 1 box in the file's own units (the break-up keeps them).
  std::string box() { return write("box.obj", objBoxes({{{-1, -0.5f, -0.5f}, {1, 0.5f, 0.5f}}})); }
};

TEST_F(DestructionGpuTest, PiecesInPlaceLookWholeAndPiecesApartLandWhereTheCpuPutsThem) {
  const std::string path = box();
  Operator& op = makeOp(g, "DestructMesh");
  setText(op, "Filepath", path);
  setParam(op, "MeshID", -1);
  crtSrand(77);
  lookFrom({0.6f, 1.0f, -2.2f}, -15, 20);
  RenderState* state = context.gbufferRenderer->gbufferProgram->state;
  const uint64_t draws = device()->counters().draws;
  const FloatImage whole = draw(op);
  auto* f = functionOf<DestructMeshOp::DestructMeshFunction>(op);
  // 14 planes across X and 7 across Y and Z: 492 cells of the grid hold surface.
  ASSERT_EQ(f->pieces.size(), 492u);
  EXPECT_EQ(device()->counters().draws - draws, 492u);
  EXPECT_EQ(shadowCasters().size(), 492u);
  EXPECT_EQ(context.gbufferRenderer->gbufferProgram->state, state) << "culling must come back";
  // Without culling, in the file's own coordinates (no 0.01, unlike "Mesh").
  const std::vector<WorldTriangle> all = modelTriangles(path, -1, Float4x4{}, false);
  Agreement a = compare(whole, all, false);
  EXPECT_GE(a.ratio(), 0.99) << a.agree << " of " << a.settled;
  EXPECT_GT(a.covered, 150);

  // The same generator state gives the same pieces on the CPU; each moves by its offset.
  setParam(op, "Strength", 0.04f);
  crtSrand(77);
  std::vector<ModelPart> parts;
  ASSERT_TRUE(readModelFile(path, {}, parts));
  const std::vector<TriangleSoup> pieces = fractureMesh(parts[0].vertices, parts[0].indices, {});
  ASSERT_EQ(pieces.size(), f->pieces.size());
  for (size_t i = 0; i < pieces.size(); ++i) ASSERT_EQ(pieces[i].size(), f->pieces[i].mesh->vertexCount);
  std::vector<WorldTriangle> apart;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const std::vector<WorldTriangle> moved = soupTriangles(pieces[i], pieceOffset(uint32_t(i), 0.04f));
    apart.insert(apart.end(), moved.begin(), moved.end());
  }
  a = compare(draw(op), apart, false);
  EXPECT_GE(a.ratio(), 0.99) << a.agree << " of " << a.settled;

  // One piece by its index, where it lies.
  setParam(op, "MeshID", 100);
  setParam(op, "CastShadows", 0);
  lookFrom({0, 0, -2.2f});
  a = compare(draw(op), soupTriangles(pieces[100]), false);
  EXPECT_GE(a.ratio(), 0.99);
  EXPECT_TRUE(shadowCasters().empty());
  setParam(op, "MeshID", 492);
  EXPECT_EQ(covered(draw(op)), 0);
}

class DynaMeshGpuTest : public MeshGpuTest {
 protected:
  // A file of `triangles` separate triangles in a row (non-indexed: three vertices each).
  std::string strip(const std::string& name, int triangles) {
    std::ostringstream o;
    for (int i = 0; i < triangles; ++i) o << "v " << i << " 0 0\nv " << i << " 1 0\nv " << i + 1 << " 0 0\n";
    for (int i = 0; i < triangles; ++i) o << "f " << 3 * i + 1 << " " << 3 * i + 2 << " " << 3 * i + 3 << "\n";
    return write(name, o.str());
  }

  // The triangles of a cut buffer that are not all zero.
  std::vector<WorldTriangle> readCut(Texture* buffer) {
    std::vector<uint8_t> bytes = readBack(buffer);
    std::vector<WorldTriangle> out;
    const size_t stride = sizeof(MeshVertex);
    for (size_t t = 0; (t + 1) * 3 * stride <= bytes.size(); ++t) {
      MeshVertex v[3];
      std::memcpy(v, bytes.data() + t * 3 * stride, sizeof v);
      bool zero = true;
      for (const MeshVertex& x : v) zero &= x.position.x == 0 && x.position.y == 0 && x.position.z == 0;
      if (!zero) out.push_back({v[0].position, v[1].position, v[2].position});
    }
    return out;
  }

  // The CPU's cut: the planes of the operator's sequence, each splitting the soup (sub-mesh
  // space) and moving its positive side by strength along the plane normal.
  static TriangleSoup cpuCut(TriangleSoup soup, const Float4x4& node, const DynaMeshPlanes& settings, float strength) {
    crtSrand(1234);
    const Float4x4 toLocal = mat::inverse(node);
    std::vector<DynaPlane> planes;
    dynaMeshPlanes(settings, planes);
    for (const DynaPlane& p : planes) {
      const Float4 pos = mat::transform({p.point.x, p.point.y, p.point.z, 1}, toLocal);
      const Float4 dir = mat::transform({p.direction.x, p.direction.y, p.direction.z, 0}, toLocal);
      TriangleSoup positive, negative;
      splitByPlane(soup, {pos, dir}, positive, negative);
      for (MeshVertex& v : positive) v.position = v.position + Float3{dir.x, dir.y, dir.z} * strength;
      soup = positive;
      soup.insert(soup.end(), negative.begin(), negative.end());
    }
    return soup;
  }
};

TEST_F(DynaMeshGpuTest, BuffersAreSizedForTheWorstCut) {
  const std::string small = strip("small.obj", 200), large = strip("large.obj", 1000);
  Operator& a = makeOp(g, "DynaMesh");
  setText(a, "Filepath", small);
  draw(a);
  auto* fa = functionOf<DynaMeshOp::DynaMeshFunction>(a);
  ASSERT_EQ(fa->subs.size(), 1u);
  EXPECT_EQ(fa->subs[0].source.mesh->vertexCount, 600u);
  EXPECT_EQ(fa->subs[0].a->vertexBuffers[0]->width(), 12000u);
  EXPECT_EQ(fa->subs[0].b->vertexBuffers[0]->width(), 12000u);

  Operator& b = makeOp(g, "DynaMesh");
  setText(b, "Filepath", large);
  setParam(b, "Plane Count", 8);
  draw(b);
  auto* fb = functionOf<DynaMeshOp::DynaMeshFunction>(b);
  EXPECT_EQ(fb->subs[0].a->vertexBuffers[0]->width(), 18000u);
  // A new plane count remakes them; the same count keeps them.
  const Mesh* before = fb->subs[0].a.get();
  draw(b);
  EXPECT_EQ(fb->subs[0].a.get(), before);
  setParam(b, "Plane Count", 16);
  draw(b);
  EXPECT_EQ(fb->subs[0].a->vertexBuffers[0]->width(), 3000u * 9u);
  // Each operator keeps its own count: with a at 3 planes and b at 16, frames of both import
  // nothing and make no buffer.
  draw(a);
  EXPECT_EQ(fa->subs[0].a->vertexBuffers[0]->width(), 12000u);
  device()->waitIdle();
  const uint64_t created = device()->counters().total();
  for (int frame = 0; frame < 2; ++frame) {
    newFrame();  // drawn without reading the picture back, which takes a buffer
    a.outputs[0].evaluate(0.0f, context);
    b.outputs[0].evaluate(0.0f, context);
  }
  device()->waitIdle();
  EXPECT_EQ(device()->counters().total(), created);
}

TEST_F(DynaMeshGpuTest, TheGpuCutMakesTheTrianglesOfTheCpuCut) {
  const std::string path = write("box.obj", objBoxes({{{-100, -50, -50}, {100, 50, 50}}}));
  std::vector<ModelPart> parts;
  ModelReadOptions read;
  read.indexed = false;
  read.root = mat::scaling({0.01f, 0.01f, 0.01f});
  ASSERT_TRUE(readModelFile(path, read, parts));
  ASSERT_EQ(parts[0].vertices.size(), 36u);

  Operator& op = makeOp(g, "DynaMesh");
  setText(op, "Filepath", path);
  auto* f = [&] { draw(op); return functionOf<DynaMeshOp::DynaMeshFunction>(op); }();
  ASSERT_EQ(f->subs.size(), 1u);

  // One plane, across X at 0.3, pushing the positive side 0.25 further.
  setParam(op, "Plane Count", 0);  // one plane
  setParam(op, "Plane Y Enabled", 0);
  setParam(op, "Plane Z Enabled", 0);
  setParam(op, "Plane X Offset", 0.3f);
  setParam(op, "Strength", 0.25f);
  draw(op);
  DynaMeshPlanes one;
  one.count = 1;
  one.axes = dynaMeshAxes(true, false, false);
  one.offset = {0.3f, 0, 0};
  TriangleSoup cut = cpuCut(parts[0].vertices, parts[0].transform, one, 0.25f);
  std::vector<WorldTriangle> gpu = readCut(f->subs[0].a->vertexBuffers[0]);
  // The 4 X faces stay whole, the 8 others cross the plane and become three each.
  EXPECT_EQ(cut.size() / 3, 28u);
  EXPECT_EQ(gpu.size(), cut.size() / 3);
  Float3 sumGpu, sumCpu;
  for (const auto& t : gpu) sumGpu = sumGpu + t[0] + t[1] + t[2];
  for (const MeshVertex& v : cut) sumCpu = sumCpu + v.position;
  EXPECT_NEAR(sumGpu.x, sumCpu.x, 0.05f);
  EXPECT_NEAR(sumGpu.y, sumCpu.y, 0.05f);
  EXPECT_NEAR(sumGpu.z, sumCpu.z, 0.05f);
  // The counters are left at zero for the next sub-mesh.
  for (Texture* c : f->counters) {
    const std::vector<uint8_t> bytes = readBack(c);
    uint32_t v;
    std::memcpy(&v, bytes.data(), 4);
    EXPECT_EQ(v, 0u);
  }

  // Five tilted planes over all axes: the counts carried from plane to plane through the
  // counter copies give the CPU's triangles, and the picture is the CPU's.
  setParam(op, "Plane Count", 5);
  setParam(op, "Plane Y Enabled", 1);
  setParam(op, "Plane Z Enabled", 1);
  setParam(op, "Randomness", 0.3f);
  setParam(op, "Plane Distance", 0.2f);
  setParam(op, "Phase", -0.2f);
  setParam(op, "Plane X Offset", 0.0f);
  setParam(op, "Strength", 0.1f);
  lookFrom({0.4f, 0.9f, -2.6f}, -10, 18);
  const FloatImage picture = draw(op);
  DynaMeshPlanes five;
  five.count = 5;
  five.randomness = 0.3f;
  five.distance = 0.2f;
  five.phase = -0.2f;
  cut = cpuCut(parts[0].vertices, parts[0].transform, five, 0.1f);
  // Planes write A, B, A, B, A: the fifth one's triangles are in A.
  gpu = readCut(f->subs[0].a->vertexBuffers[0]);
  EXPECT_EQ(gpu.size(), cut.size() / 3);
  EXPECT_GT(gpu.size(), 40u);
  std::vector<WorldTriangle> world;
  for (const WorldTriangle& t : soupTriangles(cut))
    world.push_back({mat::transformPoint(t[0], parts[0].transform), mat::transformPoint(t[1], parts[0].transform),
                     mat::transformPoint(t[2], parts[0].transform)});
  const Agreement a = compare(picture, world, false);
  EXPECT_GE(a.ratio(), 0.99) << a.agree << " of " << a.settled;
  EXPECT_GT(a.covered, 100);
  ASSERT_EQ(shadowCasters().size(), 1u);
  EXPECT_EQ(shadowCasters()[0].geometry, f->subs[0].a.get());

  // The same buffers a frame later with every plane beyond the box: fewer triangles than
  // the frame before, and the tail of the buffer no longer holds the old ones.
  const Mesh* kept = f->subs[0].a.get();
  setParam(op, "Phase", 10.0f);
  draw(op);
  ASSERT_EQ(f->subs[0].a.get(), kept);
  EXPECT_EQ(readCut(f->subs[0].a->vertexBuffers[0]).size(), 12u);
}

}  // namespace
