// The constant writer on programs without a device: their buffers are plain memory the test
// maps by hand, so what lands where can be read back byte by byte.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gfx/ConstantWriter.h"
#include "gfx/ShaderProgram.h"

namespace {

// A program with one buffer on register `slot` declaring gMatrix (64 bytes at 0),
// gRegionScale (8 at 64), gRegionOffset (8 at 72) and gScalar (4 at 80).
struct FakeProgram {
  ShaderProgram program{nullptr};
  std::vector<uint8_t> memory = std::vector<uint8_t>(96, 0xCD);

  explicit FakeProgram(uint32_t slot = 0, bool mapped = true) {
    auto cb = std::make_unique<ConstantBuffer>(nullptr, slot, 96, 1);
    cb->addVariable("gMatrix", 0, 64);
    cb->addVariable("gRegionScale", 8 * 8, 8);
    cb->addVariable("gRegionOffset", 9 * 8, 8);
    cb->addVariable("gScalar", 80, 4);
    if (mapped) cb->mapped = memory.data();
    program.constants[slot] = std::move(cb);
  }
  ~FakeProgram() {
    for (auto& cb : program.constants)
      if (cb) cb->mapped = nullptr;
  }
  float at(uint32_t offset) const {
    float f;
    std::memcpy(&f, memory.data() + offset, 4);
    return f;
  }
};

TEST(ConstantWriter, WritesByNameAndRecordsEveryWriteAsked) {
  FakeProgram fake;
  ProgramTrace trace;
  float rows[16] = {};
  for (int i = 0; i < 16; ++i) rows[i] = float(i);
  RegionConstants region;
  region.scale[1] = 0.5f;
  region.offset[0] = 0.25f;
  {
    ConstantWriter w(&fake.program, "fake", &trace);
    ASSERT_TRUE(w.mapped());
    w.matrix("gMatrix", rows).region(region).set("gScalar", 7.0f).set("gAbsent", 1.0f);
  }
  // Row vectors in, columns out: the translation (fourth row) is read as the fourth
  // column, so it lands in the last float of each of the first three 16-byte rows.
  EXPECT_EQ(fake.at(3 * 4), 12.0f);
  EXPECT_EQ(fake.at(7 * 4), 13.0f);
  EXPECT_EQ(fake.at(11 * 4), 14.0f);
  EXPECT_EQ(fake.at(1 * 4), 4.0f);
  EXPECT_EQ(fake.at(64 + 4), 0.5f);
  EXPECT_EQ(fake.at(72), 0.25f);
  EXPECT_EQ(fake.at(80), 7.0f);
  // A buffer the caller mapped stays mapped: it is the caller's to unmap.
  EXPECT_EQ(fake.program.constantBuffer(0)->mapped, fake.memory.data());

  // The trace holds what was asked, the absent name included: it is what the contract
  // tests hold against the shader's reflection.
  ASSERT_EQ(trace.constants.size(), 5u);
  const char* names[] = {"gMatrix", "gRegionScale", "gRegionOffset", "gScalar", "gAbsent"};
  const uint32_t bytes[] = {64, 8, 8, 4, 4};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(trace.constants[i].program, &fake.program);
    EXPECT_EQ(trace.constants[i].buffer, 0u);
    EXPECT_EQ(trace.constants[i].name, names[i]);
    EXPECT_EQ(trace.constants[i].bytes, bytes[i]);
  }
}

TEST(ConstantWriter, WritesOnlyTheBufferNamed) {
  FakeProgram fake(1);
  ProgramTrace trace;
  {
    ConstantWriter none(&fake.program, "fake", &trace);
    EXPECT_FALSE(none.mapped());
    none.set("gScalar", 1.0f);
  }
  EXPECT_EQ(fake.memory[80], 0xCD);
  ConstantWriter(&fake.program, "fake", &trace, 1).set("gScalar", 2.0f);
  EXPECT_EQ(fake.at(80), 2.0f);
  ASSERT_EQ(trace.constants.size(), 2u);
  EXPECT_EQ(trace.constants[0].buffer, 0u);
  EXPECT_EQ(trace.constants[1].buffer, 1u);

  // No program: nothing to write, nothing to record.
  ConstantWriter(nullptr, "none", &trace).set("gScalar", 3.0f);
  EXPECT_EQ(trace.constants.size(), 2u);
}

TEST(ConstantWriter, ABufferThatWillNotMapEndsTheProgramOrIsLeftAlone) {
  // Without a device the buffer has no GPU memory, so mapping it fails.
  FakeProgram fake(0, false);
  {
    ConstantWriter w(&fake.program, "fake", nullptr, 0, MapFailure::Skip);
    EXPECT_FALSE(w.mapped());
    w.set("gScalar", 1.0f);
  }
  EXPECT_EQ(fake.memory[80], 0xCD);
  EXPECT_EXIT(ConstantWriter(&fake.program, "blend"), ::testing::ExitedWithCode(1),
              "Failed to map constant buffer b0 \\(shader blend\\)");
}

// Writers remember where a name went, per buffer. Two programs declaring the same names in
// other places, written in turn as draws of different materials are, each keep their own.
TEST(ConstantWriter, NamesRememberedPerBufferFollowEachLayout) {
  FakeProgram first;
  ShaderProgram second{nullptr};
  std::vector<uint8_t> memory(96, 0xCD);
  {
    auto cb = std::make_unique<ConstantBuffer>(nullptr, 0, 96, 1);
    cb->addVariable("gScalar", 0, 4);
    cb->addVariable("gMatrix", 16, 64);
    cb->mapped = memory.data();
    second.constants[0] = std::move(cb);
  }
  float rows[16] = {};
  for (int round = 0; round < 3; ++round) {
    const float value = float(round + 1);
    rows[0] = value;
    ConstantWriter(&first.program, "first").set("gScalar", value).matrix("gMatrix", rows);
    ConstantWriter(&second, "second").set("gScalar", value * 10.0f).matrix("gMatrix", rows);
    EXPECT_EQ(first.at(80), value);
    EXPECT_EQ(first.at(0), value);
    float f;
    std::memcpy(&f, memory.data(), 4);
    EXPECT_EQ(f, value * 10.0f);
    std::memcpy(&f, memory.data() + 16, 4);
    EXPECT_EQ(f, value);
  }
  // gRegionScale lives only in the first program: the second keeps its bytes.
  RegionConstants region;
  ConstantWriter(&second, "second").region(region);
  EXPECT_EQ(memory[80], 0xCD);
  second.constants[0]->mapped = nullptr;
}

// The same pointer may come back holding another name (a string rebuilt in the same
// memory), and a layout may change under a buffer: neither may send a write to the old place.
TEST(ConstantWriter, ANameIsKnownByItsTextAndTheLayoutOfTheMoment) {
  FakeProgram fake;
  char name[16] = "gScalar";
  ConstantWriter(&fake.program, "fake").set(name, 1.0f);
  EXPECT_EQ(fake.at(80), 1.0f);
  std::strcpy(name, "gRegionScale");
  const float pair[2] = {2.0f, 3.0f};
  ConstantWriter(&fake.program, "fake").set(name, pair);
  EXPECT_EQ(fake.at(64), 2.0f);
  EXPECT_EQ(fake.at(80), 1.0f);
  std::strcpy(name, "gLate");
  ConstantWriter(&fake.program, "fake").set(name, 4.0f);  // not declared: nowhere
  EXPECT_EQ(fake.memory[88], 0xCD);

  // A buffer that gains the name later (reflection adding variables) finds it.
  fake.program.constants[0]->addVariable("gLate", 88, 4);
  ConstantWriter(&fake.program, "fake").set(name, 5.0f);
  EXPECT_EQ(fake.at(88), 5.0f);

  // A program made again (a reload) with gScalar elsewhere gets the new place, whatever
  // address the new buffer lands on.
  for (int reload = 0; reload < 4; ++reload) {
    const uint32_t offset = 84 - 4 * uint32_t(reload);
    auto cb = std::make_unique<ConstantBuffer>(nullptr, 0, 96, 1);
    cb->addVariable("gScalar", offset, 4);
    fake.program.constants[0].reset();
    cb->mapped = fake.memory.data();
    fake.program.constants[0] = std::move(cb);
    ConstantWriter(&fake.program, "fake").set("gScalar", float(10 + reload));
    EXPECT_EQ(fake.at(offset), float(10 + reload));
  }
}

// More names than a buffer remembers: the forgotten ones are looked up again, never mixed up.
TEST(ConstantWriter, ManyNamesAllLandRight) {
  constexpr uint32_t kNames = 150;
  ShaderProgram program{nullptr};
  std::vector<uint8_t> memory(kNames * 4, 0);
  std::vector<std::string> names;
  for (uint32_t i = 0; i < kNames; ++i) names.push_back("gValue" + std::to_string(i));
  auto cb = std::make_unique<ConstantBuffer>(nullptr, 0, kNames * 4, 1);
  // Declared in reverse, so a name's place is not its order of writing.
  for (uint32_t i = 0; i < kNames; ++i) cb->addVariable(names[i].c_str(), (kNames - 1 - i) * 4, 4);
  cb->mapped = memory.data();
  program.constants[0] = std::move(cb);
  for (int round = 0; round < 3; ++round) {
    ConstantWriter w(&program, "many");
    for (uint32_t i = 0; i < kNames; ++i) w.set(names[i].c_str(), uint32_t(i * 7 + uint32_t(round)));
    for (uint32_t i = 0; i < kNames; ++i) {
      uint32_t v;
      std::memcpy(&v, memory.data() + (kNames - 1 - i) * 4, 4);
      ASSERT_EQ(v, i * 7 + uint32_t(round)) << names[i] << " round " << round;
    }
  }
  program.constants[0]->mapped = nullptr;
}

}  // namespace
