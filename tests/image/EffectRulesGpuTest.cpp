// What the effect operators read, in which order, and what they do with the post-process
// ring and the image result, with and without an input picture.
#include <algorithm>

#include "tests/image/PostTestSupport.h"

namespace {

const char* const kAllEffects[] = {"ToneMapping",     "SSAO",          "Bloom",   "GaussBlur", "RadialBlur",
                                   "Invert",          "Grain",         "Feedback", "DOF",      "MotionBlur",
                                   "FXAA",            "ColorCorrection", "CCSplitToning", "CCColor", "CCHSL",
                                   "CCTone"};

}  // namespace

class EffectRulesGpuTest : public PostGpuTest {
 protected:
  EffectRulesGpuTest() : PostGpuTest(16) {}

  // Every image input fed by a picture operator named after the port, every float input by
  // a probe named after the port (value 1, so that every effect runs).
  Operator& probed(const std::string& type, Texture* picture) {
    Operator& op = effect(type);
    for (Port& in : op.inputs) {
      if (in.type == PortType::Image) {
        feed(pictureOp(picture, in.name), op, in.name);
      } else {
        EXPECT_TRUE(graph.connect(probe(1.0f, in.name), "FloatOut", op, in.name));
      }
    }
    return op;
  }

  std::vector<std::string> portOrder(const std::string& type) {
    Operator& op = effect(type);
    std::vector<std::string> names;
    for (const Port& in : op.inputs) names.push_back(in.name);
    return names;
  }
};

TEST_F(EffectRulesGpuTest, InputsAreEvaluatedInEachOperatorsOwnOrder) {
  Texture* source = uniform({0.5f, 0.5f, 0.5f, 1});
  // Most read their picture, then every parameter in port order; these differ.
  const std::map<std::string, std::vector<std::string>> special = {
      {"Invert", {"MaskIn", "ImageIn", "Intensity", "UseMaskImage"}},
      {"CCSplitToning",
       {"ImageIn", "MaskIn", "Hi R", "Hi G", "Hi B", "Lo R", "Lo G", "Lo B", "Hi Influence", "Lo Influence",
        "Balance"}},
  };
  for (const char* type : kAllEffects) {
    log.clear();
    Operator& op = probed(type, source);
    context.imageResult = nullptr;
    run(op);
    auto it = special.find(type);
    EXPECT_EQ(log, it != special.end() ? it->second : portOrder(type)) << type;
  }
}

TEST_F(EffectRulesGpuTest, EmptyInputStopsWithoutTouchingRingOrResult) {
  for (const char* type : {"ToneMapping", "Grain", "Feedback", "MotionBlur", "FXAA", "ColorCorrection",
                           "CCSplitToning", "CCColor", "CCHSL", "CCTone"}) {
    log.clear();
    Operator& op = probed(type, nullptr);
    context.imageResult = nullptr;
    const uint32_t index = ringIndex();
    EXPECT_EQ(run(op), nullptr) << type;
    EXPECT_EQ(ringIndex(), index) << type;
    // Nothing past the picture is looked at, the mask included (ToneMapping, Grain and
    // Feedback read their parameters first).
    if (std::string(type) != "ToneMapping" && std::string(type) != "Grain" && std::string(type) != "Feedback") {
      EXPECT_EQ(log, std::vector<std::string>{"ImageIn"}) << type;
    }
  }
}

TEST_F(EffectRulesGpuTest, BloomWithEmptyInputAdvancesTheRingAndLeavesTheResultEmpty) {
  Operator& op = probed("Bloom", nullptr);
  context.imageResult = nullptr;
  const uint32_t index = ringIndex();
  EXPECT_EQ(run(op), nullptr);
  EXPECT_EQ(ringIndex(), (index + 1) % 3);
}

TEST_F(EffectRulesGpuTest, EmptyInputStillSwitchesTheResultToTheNextRingImage) {
  for (const char* type : {"SSAO", "GaussBlur", "Invert", "DOF", "RadialBlur"}) {
    Operator& op = probed(type, nullptr);
    context.imageResult = nullptr;
    const uint32_t index = ringIndex();
    EXPECT_EQ(run(op), ringSlot(index)) << type;
    EXPECT_EQ(ringIndex(), (index + 1) % 3) << type;
  }
}

TEST_F(EffectRulesGpuTest, GaussBlurOfNothingShowsAnEmptyPictureNotAStaleOne) {
  // Fill the slot that GaussBlur will take with an old picture first.
  Texture* old = uniform({1, 1, 1, 1});
  const uint32_t index = ringIndex();
  copyPass(ringSlot(index), old, Viewport{0, 0, 16, 16}, opaque(), false);
  Operator& op = probed("GaussBlur", nullptr);
  context.imageResult = nullptr;
  Texture* result = run(op);
  ASSERT_EQ(result, ringSlot(index));
  for (const Pixel& p : pixels(result)) ASSERT_EQ(p.r + p.g + p.b + p.a, 0.0f);
}

TEST_F(EffectRulesGpuTest, RadialBlurWithoutIntensityOrRadiusPassesThePictureThrough) {
  Texture* source = uniform({0.5f, 0.5f, 0.5f, 1});
  for (auto [intensity, radius] : {std::pair{0.0f, 50.0f}, {1.0f, 0.0f}, {1e-5f, 50.0f}, {1.0f, -3.0f}}) {
    Operator& op = effect("RadialBlur");
    setParam(op, "Intensity", intensity);
    setParam(op, "Radius", radius);
    const uint32_t index = ringIndex();
    EXPECT_EQ(apply(op, source), source) << intensity << " " << radius;
    EXPECT_EQ(ringIndex(), index);
  }
}

TEST_F(EffectRulesGpuTest, EveryEffectWithAPictureWritesTheNextRingImage) {
  Texture* source = uniform({0.5f, 0.5f, 0.5f, 1});
  for (const char* type : kAllEffects) {
    Operator& op = probed(type, source);
    const uint32_t index = ringIndex();
    EXPECT_EQ(run(op), ringSlot(index)) << type;
    EXPECT_EQ(ringIndex(), (index + 1) % 3) << type;
  }
}

TEST_F(EffectRulesGpuTest, NoEffectWritesThePictureItReads) {
  // The picture is the ring image that would be taken next (as after two generators): the
  // effect passes over it, and what it draws comes from the picture, not from the target
  // being drawn (which reads as nothing).
  for (const char* type : kAllEffects) {
    const uint32_t index = ringIndex();
    Texture* next = ringSlot(index);
    copyPass(next, uniform({0.25f, 0.25f, 0.25f, 1}), Viewport{0, 0, 16, 16}, opaque(), false);
    Operator& op = probed(type, next);
    context.imageResult = nullptr;
    Texture* result = run(op);
    EXPECT_EQ(result, ringSlot((index + 1) % 3)) << type;
    EXPECT_EQ(ringIndex(), (index + 2) % 3) << type;
    const Pixel p = pixels(result)[8 * 16 + 8];
    EXPECT_GT(p.r + p.g + p.b, 0.1f) << type;
    EXPECT_GT(p.a, 0.5f) << type;
  }
}
