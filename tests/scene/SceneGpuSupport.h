#pragma once
// A GPU fixture with a Context ready to draw scenes into a tiny G-buffer on an offscreen
// Screen of the same size (region constants map the viewport only while a Screen exists),
// read-back of the five targets as floats, and a CPU ray caster that says which surface
// each pixel sees.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "gfx/ShaderManager.h"
#include "scene/FrameSetup.h"
#include "scene/MeshBuilder.h"
#include "scene/SceneContext.h"
#include "tests/gfx/support/GpuTestSupport.h"

inline float halfToFloat(uint16_t h) {
  const uint32_t sign = (h >> 15) & 1, exponent = (h >> 10) & 31, mantissa = h & 1023;
  float v;
  if (exponent == 0)
    v = std::ldexp(float(mantissa), -24);
  else if (exponent == 31)
    v = mantissa ? NAN : INFINITY;
  else
    v = std::ldexp(float(mantissa | 1024), int(exponent) - 25);
  return sign ? -v : v;
}

// A read-back target as floats, `channels` per pixel.
struct FloatImage {
  uint32_t width = 0, height = 0, channels = 0;
  std::vector<float> data;
  float at(uint32_t x, uint32_t y, uint32_t c) const { return data[(size_t(y) * width + x) * channels + c]; }
};

// The surface a pixel sees, from the CPU.
struct RayHit {
  bool hit = false;
  float distance = 0;  // along the ray (unit direction)
  Float3 world;
  Float3 normal;       // world-space geometric normal, facing the camera
};

class SceneGpuTest : public ScreenGpuTest {
 protected:
  void SetUp() override {
    screenWidth = screenHeight = size;
    ScreenGpuTest::SetUp();
    initContextTargets(context, device(), screen(), size, size);
    ASSERT_TRUE(initSceneContext(context, device()));
    ASSERT_NE(context.gbufferRenderer, nullptr);
    lookFrom({0, 0, -4});
  }

  void TearDown() override {
    device()->waitIdle();
    releaseSceneContext(context);
    releaseContextTargets(context);
    ScreenGpuTest::TearDown();
  }

  // Camera at `eye` looking along +Z (yaw and pitch in degrees), 45 degree square projection.
  void lookFrom(Float3 eye, float yaw = 0, float pitch = 0) {
    camera_ = mat::rotationEulerDegrees({pitch, yaw, 0}) * mat::translation(eye);
    context.camera = context.cameraPrev = camera_;
    context.projection = mat::perspectiveFovDegrees(fov, 1.0f, 0.1f, 100.0f);
  }

  // A fresh cleared G-buffer over the viewport, seen by the camera of lookFrom (beginFrame
  // resets the Context's camera to its defaults, as a new frame does).
  void newFrame(Viewport region) {
    context.viewport = region;
    beginFrame(context, size, size, false, true);
    context.camera = context.cameraPrev = camera_;
  }
  void newFrame() { newFrame(Viewport{0, 0, int32_t(size), int32_t(size)}); }

  FloatImage readTarget(int index) {
    Texture* t = context.gbuffer[index];
    FloatImage img;
    img.width = t->width();
    img.height = t->height();
    img.channels = index == 4 ? 2 : 4;
    std::vector<uint8_t> bytes = readBack(t);
    img.data.resize(bytes.size() / 2);
    for (size_t i = 0; i < img.data.size(); ++i) {
      uint16_t h;
      std::memcpy(&h, bytes.data() + i * 2, 2);
      img.data[i] = halfToFloat(h);
    }
    dump(img, index);
    return img;
  }

  // With ZV_SCENE_DUMP=<folder> every read-back target is also written as a PPM picture
  // (albedo and emissive as they are, normals as 0.5 + 0.5 n, depth and velocity scaled).
  void dump(const FloatImage& img, int index) {
    const char* dir = std::getenv("ZV_SCENE_DUMP");
    if (!dir) return;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(dir) + "/" + info->name() + "_" + std::to_string(index) + "_" +
                       std::to_string(dumpCounter_++) + ".ppm";
    std::ofstream out(name, std::ios::binary);
    out << "P6\n" << img.width << " " << img.height << "\n255\n";
    for (uint32_t y = 0; y < img.height; ++y)
      for (uint32_t x = 0; x < img.width; ++x)
        for (uint32_t c = 0; c < 3; ++c) {
          float v = c < img.channels ? img.at(x, y, c) : 0.0f;
          if (index == 1) v = c < 3 ? 0.5f + 0.5f * v : v;
          if (index == 4) v = 0.5f + 10.0f * v;
          const int b = int(std::fmin(std::fmax(v, 0.0f), 1.0f) * 255.0f + 0.5f);
          out.put(char(b));
        }
  }

  // Camera-space direction of the ray through target point (sx, sy) in pixels, for the
  // region being drawn.
  Float3 rayDirection(float sx, float sy, const Float4x4& camera) const {
    const Viewport& r = context.viewport;
    const float u = (sx - float(r.left)) / float(r.right - r.left);
    const float v = (sy - float(r.top)) / float(r.bottom - r.top);
    const float ys = 1.0f / std::tan(fov * 0.5f * 3.14159265f / 180.0f);
    const float aspect = float(r.right - r.left) / float(r.bottom - r.top);
    const Float3 d{(u * 2 - 1) * aspect / ys, (1 - v * 2) / ys, 1.0f};
    return normalize(camera.row3(0) * d.x + camera.row3(1) * d.y + camera.row3(2) * d.z);
  }

  // Nearest front-facing triangle of the shape under `world` along the ray through (sx, sy).
  RayHit castRay(const MeshBuilder& shape, const Float4x4& world, float sx, float sy) const {
    const Float3 origin = context.camera.row3(3);
    const Float3 dir = rayDirection(sx, sy, context.camera);
    RayHit best;
    for (size_t tri = 0; tri < shape.triangleCount(); ++tri) {
      Float3 p[3];
      for (int k = 0; k < 3; ++k) {
        const Float4& v = shape.positions[shape.indices[tri * 3 + k]];
        p[k] = mat::transformPoint({v.x, v.y, v.z}, world);
      }
      const Float3 e1 = p[1] - p[0], e2 = p[2] - p[0];
      const Float3 n = cross(e1, e2);
      if (dot(n, dir) >= 0) continue;  // back face: culled
      const Float3 pv = cross(dir, e2);
      const float det = dot(e1, pv);
      if (std::fabs(det) < 1e-12f) continue;
      const Float3 tv = origin - p[0];
      const float u = dot(tv, pv) / det;
      if (u < 0 || u > 1) continue;
      const Float3 qv = cross(tv, e1);
      const float v = dot(dir, qv) / det;
      if (v < 0 || u + v > 1) continue;
      const float t = dot(e2, qv) / det;
      if (t <= 0.1f || (best.hit && t >= best.distance)) continue;
      best.hit = true;
      best.distance = t;
      best.world = origin + dir * t;
      best.normal = normalize(n);
    }
    return best;
  }

  // Coverage of a pixel that all of its centre and four points half a pixel away agree on:
  // 1 covered, 0 empty, -1 on an edge (not compared).
  int settledCoverage(const MeshBuilder& shape, const Float4x4& world, uint32_t x, uint32_t y) const {
    const float cx = float(x) + 0.5f, cy = float(y) + 0.5f;
    const bool centre = castRay(shape, world, cx, cy).hit;
    const float d[4][2] = {{-0.5f, 0}, {0.5f, 0}, {0, -0.5f}, {0, 0.5f}};
    for (const auto& o : d)
      if (castRay(shape, world, cx + o[0], cy + o[1]).hit != centre) return -1;
    return centre ? 1 : 0;
  }

  Context context;
  uint32_t size = 32;
  float fov = 45.0f;

 private:
  Float4x4 camera_;
  int dumpCounter_ = 0;
};
