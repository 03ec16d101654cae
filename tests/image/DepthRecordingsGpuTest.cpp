// "XEDDepth" and "AXEDDepth" playing recordings written here: what lands in their textures,
// when they decode, and what they do with frames that are not there or files that are not.
#include <unistd.h>

#include <cmath>
#include <cstring>

#include "tests/image/DepthRecordingTestSupport.h"
#include "tests/image/ImageOpTestSupport.h"

using depthtest::TempFile;

class DepthRecordingsGpuTest : public ImageOpGpuTest {
 protected:
  Operator& player(const std::string& type, const std::string& file) {
    Operator& op = effect(type);
    setText(op, "File", file);
    setText(op, "Shader", "data/shaders/custom/kinect.hlsl");
    return op;
  }
  template <typename Fn>
  static Fn* function(Operator& op) {
    return dynamic_cast<Fn*>(op.outputs[0].source.get());
  }
  std::vector<uint16_t> depthTexels(Texture* t) {
    const std::vector<uint8_t> bytes = readBack(t);
    std::vector<uint16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
  }
};

TEST_F(DepthRecordingsGpuTest, XedDecodesEachFrameOnceAndKeepsItForFramesThatAreNotThere) {
  TempFile file("play.xed");
  // Frame f is f + 1 metres away everywhere, except its first value, stored as bytes 0x12 0x34.
  file.write(depthtest::xed(3, 64, [](int f, uint32_t i) { return uint16_t(i == 0 ? 0x1234 : (f + 1) * 1000); }));
  Operator& op = player("XEDDepth", file.path);
  auto* fn = function<XEDDepthOp::XEDFunction>(op);
  Texture* before = uniform({0, 0, 0, 0});

  Texture* out = runOn(op, before);
  ASSERT_NE(out, before);
  EXPECT_EQ(out->width(), 640u);
  EXPECT_EQ(fn->decodes, 1u) << "frame 0 on loading";
  std::vector<uint16_t> texels = depthTexels(fn->depthTexture);
  EXPECT_EQ(texels[0], 0x1234);
  EXPECT_EQ(texels[1], 1000);

  for (float frame : {1.0f, 1.5f, 2.0f, 2.0f, 2.9f}) {
    setParam(op, "Frame", frame);
    runOn(op, before);
  }
  EXPECT_EQ(fn->decodes, 3u) << "frames 1 and 2 once each";
  for (float frame : {3.0f, -1.0f, NAN, 1e12f}) {
    setParam(op, "Frame", frame);
    runOn(op, before);
    EXPECT_EQ(fn->currentFrame, 2) << frame;
  }
  EXPECT_EQ(fn->decodes, 3u);
  EXPECT_EQ(depthTexels(fn->depthTexture)[1], 3000);

  // Drawn through the shader: 3 m between 0 and 20 m is 0.85 grey-blue, sky-tinted.
  setParam(op, "FarPlane", 20.0f);
  const std::vector<uint8_t> colour = readBack(runOn(op, before));
  const float t = 3.0f / 20.0f;
  EXPECT_NEAR(colour[4 * 700 + 2] / 255.0f, 1.0f - t, 0.01f);
  EXPECT_NEAR(colour[4 * 700 + 0] / 255.0f, (1.0f - t) * (1.0f - 0.3f * t), 0.01f);
}

TEST_F(DepthRecordingsGpuTest, AMissingRecordingLeavesThePictureAndIsTriedAgain) {
  TempFile file("later.xed");
  Operator& op = player("XEDDepth", file.path);
  Texture* before = uniform({0, 0, 0, 0});
  EXPECT_EQ(runOn(op, before), before);
  EXPECT_EQ(runOn(op, before), before);
  file.write(depthtest::xed(1, 0, [](int, uint32_t) { return uint16_t(500); }));
  EXPECT_NE(runOn(op, before), before) << "found once it exists";
  // Once loaded, the name is not read again.
  setText(op, "File", "no/such/file.xed");
  EXPECT_NE(runOn(op, before), before);
}

TEST_F(DepthRecordingsGpuTest, AxedHandsOnItsFrameTextureAndKeepsTheLastWholeFrame) {
  TempFile file("play.axed");
  file.write(depthtest::raw(2, 1000, [](int f, uint32_t i) { return uint8_t(f * 100 + i % 7); }));
  Operator& op = player("AXEDDepth", file.path);
  auto* fn = function<AXEDDepthOp::AXEDFunction>(op);
  Texture* out = runOn(op, nullptr);
  ASSERT_EQ(out, fn->frameTexture);
  EXPECT_EQ(readBack(out)[9], 2);
  setParam(op, "Frame", 1);
  runOn(op, nullptr);
  runOn(op, nullptr);
  EXPECT_EQ(fn->decodes, 2u);
  EXPECT_EQ(readBack(out)[9], 102);
  setParam(op, "Frame", 2);  // only 1000 bytes of it
  runOn(op, nullptr);
  EXPECT_EQ(fn->currentFrame, 1);
  EXPECT_EQ(readBack(out)[9], 102);

  Operator& missing = player("AXEDDepth", "no/such/file.axed");
  Texture* before = uniform({0, 0, 0, 0});
  EXPECT_EQ(runOn(missing, before), before);
}
