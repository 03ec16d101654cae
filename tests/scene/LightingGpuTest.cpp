// The lights on a device against CPU evaluations of the same formulas, pixel by pixel, from
// what the G-buffer holds under each pixel.
//
// Tolerance of a lit value: 1.5% of the value plus 0.002. The reference takes positions
// from the G-buffer's 16-bit linear depth where the shader uses the 24-bit depth target
// (the view direction differs by up to about 1e-3 rad, which moves a GGX lobe of roughness
// 0.4 by about 1%), and the output is stored in 16-bit floats (0.05%).
#include <gtest/gtest.h>

#include <cmath>

#include "tests/scene/LightingGpuSupport.h"

namespace {

using lightref::HalfImage;

bool closeTo(float got, float want) { return std::fabs(got - want) <= 0.015f * std::fabs(want) + 0.002f; }

TEST_F(LightingGpuTest, ADirectionalLightOnASphereFollowsTheBrdf) {
  const Mesh* sphere = sphereMesh(48);
  Material m;
  m.albedo = {0.8f, 0.5f, 0.3f};
  m.roughness = 0.4f;
  m.metalness = 0.3f;
  const Float3 towards{1.5f, 0.8f, 0.3f}, colour{1.6f, 1.4f, 1.2f};
  dirLights().push_back(dirLight(towards, colour));
  Operator& pass = lightPass([&] { draw(sphere, mat::scaling({1.2f, 1.2f, 1.2f}), m); });
  HalfImage out = light(pass);
  std::vector<Surfel> g = surfels();

  int lit = 0, checked = 0, bad = 0;
  for (uint32_t y = 0; y < kSize; ++y)
    for (uint32_t x = 0; x < kSize; ++x) {
      const Surfel& s = g[y * kSize + x];
      Float4 o = out.at(x, y);
      if (!s.geometry) {
        EXPECT_EQ(o.x + o.y + o.z, 0.0f) << x << "," << y;  // no light without a surface
        continue;
      }
      Float3 want = lightref::brdfLight(s.normal, s.toEye, normalize(towards), s.surface, colour);
      ++checked;
      if (want.x > 0.01f) ++lit;
      if (!closeTo(o.x, want.x) || !closeTo(o.y, want.y) || !closeTo(o.z, want.z)) {
        if (++bad <= 5)
          ADD_FAILURE() << "pixel " << x << "," << y << " got " << o.x << " " << o.y << " " << o.z << " want "
                        << want.x << " " << want.y << " " << want.z;
      }
    }
  EXPECT_GT(checked, 400);
  EXPECT_GT(lit, 150);  // the lit side is there, and so is the dark side
  EXPECT_GT(checked - lit, 100);
  EXPECT_EQ(bad, 0);
}

}  // namespace

namespace {

// Every pixel against a reference of what the pixel's surface should show; counts and
// reports the first few that differ.
template <class Want>
int compareToReference(const HalfImage& out, const std::vector<Surfel>& g, Want want,
                       uint32_t size) {
  int bad = 0;
  for (uint32_t y = 0; y < size; ++y)
    for (uint32_t x = 0; x < size; ++x) {
      Float3 w = want(g[y * size + x]);
      Float4 o = out.at(x, y);
      if (closeTo(o.x, w.x) && closeTo(o.y, w.y) && closeTo(o.z, w.z)) continue;
      if (++bad <= 5)
        ADD_FAILURE() << "pixel " << x << "," << y << " got " << o.x << " " << o.y << " " << o.z << " want " << w.x
                      << " " << w.y << " " << w.z;
    }
  return bad;
}

PointLightRecord pointLight(Float3 pos, float radius, Float3 colour, float brightness) {
  PointLightRecord r;
  r.position = {pos.x, pos.y, pos.z, 1};
  r.colour = {colour.x, colour.y, colour.z, 0};
  r.radius = radius;
  r.brightness = brightness;
  r.scattering = {0.1f, 0.0f, 1.0f, 0.0f};
  return r;
}

SpotLightRecord spotLight(Float3 pos, Float3 dir, float angle, float farPlane, Float3 colour, bool shadows) {
  SpotLightRecord r;
  r.position = {pos.x, pos.y, pos.z, 1};
  Float3 d = normalize(dir);
  r.direction = {d.x, d.y, d.z, 0};
  r.colour = {colour.x, colour.y, colour.z, 0};
  r.angle = angle;
  r.farPlane = farPlane;
  r.castsShadows = shadows ? 1 : 0;
  r.scattering = {0.1f, 0.0f, 1.0f, 0.0f};
  r.scatteringSteps = 32;
  return r;
}

}  // namespace

TEST_F(LightingGpuTest, APointLightLightsItsRadiusAndNothingBeyond) {
  const Mesh* quad = quadMesh();
  setCamera({0, 6, -4}, {0, 0, 0.5f}, 50.0f);
  const Float3 lightPos{0.5f, 1.0f, 0.5f}, colour{1.0f, 0.8f, 0.6f};
  const float radius = 3.0f, brightness = 3.0f;
  pointLights().push_back(pointLight(lightPos, radius, colour, brightness));
  Material m;
  m.roughness = 0.6f;
  Operator& pass = lightPass([&] { draw(quad, mat::scaling({14, 1, 14}), m); });
  HalfImage out = light(pass);
  std::vector<Surfel> g = surfels();

  int inside = 0, outside = 0;
  for (uint32_t i = 0; i < kSize * kSize; ++i) {
    if (!g[i].geometry) continue;
    float d = length(g[i].position - lightPos);
    Float4 o = out.at(i % kSize, i / kSize);
    if (d > radius * 1.01f) {
      ++outside;
      EXPECT_EQ(o.x + o.y + o.z, 0.0f) << "lit beyond the radius at " << i;
    } else if (d < radius * 0.95f) {
      ++inside;
      EXPECT_GT(o.x, 0.0f) << "dark inside the radius at " << i;
    }
  }
  EXPECT_GT(inside, 200);
  EXPECT_GT(outside, 200);
  EXPECT_EQ(0, compareToReference(out, g, [&](const Surfel& s) -> Float3 {
              if (!s.geometry) return {0, 0, 0};
              Float3 toLight = lightPos - s.position;
              float d = length(toLight);
              return lightref::brdfLight(s.normal, s.toEye, toLight * (1 / d), s.surface,
                                         colour * (brightness * lightref::distanceFalloff(d, radius)));
            }, kSize));
}

TEST_F(LightingGpuTest, PointLightScatteringFillsTheAirAroundIt) {
  // Nothing drawn: every pixel is air, lit only by what the light scatters along the view ray.
  setCamera({0, 0, -6}, {0, 0, 0}, 50.0f);
  const Float3 lightPos{0.4f, 0.2f, 0.0f}, colour{1.0f, 0.5f, 0.25f};
  const float radius = 2.0f, brightness = 2.0f, density = 0.3f, multiplier = 1.5f, falloff = 1.0f;
  PointLightRecord r = pointLight(lightPos, radius, colour, brightness);
  r.scattering = {density, multiplier, falloff, 0};
  pointLights().push_back(r);
  Operator& pass = lightPass([] {});
  HalfImage out = light(pass);

  // The reference integrates numerically what the shader evaluates in closed form.
  const Float4x4 invViewProj = mat::inverse(mat::rigidInverse(ctx.camera) * ctx.projection);
  int lit = 0, dark = 0, bad = 0;
  for (uint32_t y = 0; y < kSize; ++y)
    for (uint32_t x = 0; x < kSize; ++x) {
      float ndcX = (x + 0.5f) / kSize * 2 - 1, ndcY = 1 - (y + 0.5f) / kSize * 2;
      Float3 end = mat::transformPoint({ndcX, ndcY, 1.0f}, invViewProj);
      Float3 dir = normalize(end - eye);
      float len = length(end - eye);
      Float3 rel = lightPos - eye;
      float tc = dot(rel, dir);
      float h = std::sqrt(std::max(dot(rel, rel) - tc * tc, 0.0f));
      double sum = 0;
      const int steps = 4000;
      const float t0 = std::max(0.0f, tc - radius), t1 = std::min(len, tc + radius);
      for (int k = 0; k < steps && t1 > t0; ++k) {
        float t = t0 + (k + 0.5f) * (t1 - t0) / steps;
        float d2 = h * h + (t - tc) * (t - tc);
        if (d2 < radius * radius) sum += (t1 - t0) / steps / (d2 + 1.0f);
      }
      float fade = std::pow(lightref::sat(1 - h / radius), falloff);
      float want = colour.x * brightness * density * multiplier * float(sum) * fade;
      Float4 o = out.at(x, y);
      if (h >= radius * 1.01f) {
        ++dark;
        EXPECT_EQ(o.x, 0.0f) << x << "," << y;
      } else if (want > 0.01f) {
        ++lit;
      }
      if (std::fabs(o.x - want) > 0.02f * want + 0.002f && ++bad <= 5)
        ADD_FAILURE() << "pixel " << x << "," << y << " got " << o.x << " want " << want;
    }
  EXPECT_GT(lit, 100);
  EXPECT_GT(dark, 100);
  EXPECT_EQ(bad, 0);
}

TEST_F(LightingGpuTest, ASpotLightsItsConeAndStillLightsAnEyeInsideIt) {
  const Mesh* quad = quadMesh();
  const Float3 lightPos{0.3f, 4.0f, 0.8f}, colour{2.0f, 1.8f, 1.5f};
  const float angle = 60.0f, farPlane = 9.0f;
  Material m;
  m.roughness = 0.5f;
  // From outside the cone, then with the eye inside it (below the light, looking down).
  const Float3 eyes[2][2] = {{{0, 4.5f, -3.5f}, {0, 0, 0.8f}}, {{0.3f, 2.5f, 0.6f}, {0.4f, 0, 1.2f}}};
  for (int view = 0; view < 2; ++view) {
    newFrame();
    setCamera(eyes[view][0], eyes[view][1], 60.0f);
    ASSERT_EQ(spotCullsFrontFaces(lightPos, {0, -1, 0}, eye, angle), view == 1);
    spotLights().push_back(spotLight(lightPos, {0, -1, 0}, angle, farPlane, colour, false));
    Operator& pass = lightPass([&] { draw(quad, mat::scaling({16, 1, 16}), m); });
    HalfImage out = light(pass);
    std::vector<Surfel> g = surfels();
    int inside = 0, outside = 0;
    for (uint32_t i = 0; i < kSize * kSize; ++i) {
      if (!g[i].geometry) continue;
      Float3 L;
      float f = lightref::spotFactor(g[i].position, lightPos, {0, -1, 0}, angle, farPlane, L);
      Float4 o = out.at(i % kSize, i / kSize);
      if (f > 0.05f) {
        ++inside;
        EXPECT_GT(o.x, 0.0f) << "view " << view << " pixel " << i;
      } else if (f == 0.0f) {
        ++outside;
        EXPECT_EQ(o.x, 0.0f) << "view " << view << " pixel " << i;
      }
    }
    EXPECT_GT(inside, view == 0 ? 100 : 1000) << "view " << view;
    if (view == 0) {
      EXPECT_GT(outside, 100);
    }
    EXPECT_EQ(0, compareToReference(out, g, [&](const Surfel& s) -> Float3 {
                if (!s.geometry) return {0, 0, 0};
                Float3 L;
                float f = lightref::spotFactor(s.position, lightPos, {0, -1, 0}, angle, farPlane, L);
                return lightref::brdfLight(s.normal, s.toEye, L, s.surface, colour * f);
              }, kSize))
        << "view " << view;
  }
}

TEST_F(LightingGpuTest, WithoutLightsTheOutputIsTheImageBasedTermAlone) {
  // An environment of one radiance everywhere: the split sum has a closed reference then.
  const Float3 radiance{0.6f, 0.4f, 0.3f};
  TextureDesc d;
  d.flags = kTextureFlag | kUsageImmutable | kBindShaderResource | kCubeMap;
  d.format = 0x50404;
  d.width = d.height = 4;
  d.arraySize = 6;
  d.mipLevels = 3;
  std::vector<float> texels;
  for (int i = 0; i < 6 * (16 + 4 + 1); ++i) texels.insert(texels.end(), {radiance.x, radiance.y, radiance.z, 1});
  Texture* env = createTexture(device(), d, texels.data());
  textures_.push_back(env);

  const Mesh* sphere = sphereMesh(48);
  Material m;
  m.albedo = {0.7f, 0.6f, 0.9f};
  m.roughness = 0.35f;
  m.metalness = 0.4f;
  m.ibl = 0.8f;
  Operator& pass = lightPass([&] { draw(sphere, Float4x4::identity(), m); }, env);
  HalfImage out = light(pass);
  std::vector<Surfel> g = surfels();
  auto lookupTexel = [](float v) { return (std::floor(lightref::sat(v) * 511.999f) + 0.5f) / 512.0f; };
  int checked = 0;
  EXPECT_EQ(0, compareToReference(out, g, [&](const Surfel& s) -> Float3 {
              if (!s.geometry) return {0, 0, 0};
              ++checked;
              float NdotV = lightref::sat(dot(s.normal, s.toEye));
              Float2 ab = lightref::integrateEnvironmentBrdf(lookupTexel(NdotV), lookupTexel(s.surface.roughness), 128);
              return lightref::uniformEnvironmentLight(s.normal, s.toEye, s.surface, radiance, ab) * s.ibl;
            }, kSize));
  EXPECT_GT(checked, 500);
}

TEST_F(LightingGpuTest, AMirrorReflectsTheEnvironmentFaceItFaces) {
  // Each face of the cube its own colour; a mirror sphere must show, in every pixel, the
  // face its reflected ray points to (the cube's layout as the sampler reads it).
  const Float3 faceColour[6] = {{1, 0, 0}, {0, 1, 1}, {0, 1, 0}, {1, 0, 1}, {0, 0, 1}, {1, 1, 0}};
  const uint32_t n = 16;
  TextureDesc d;
  d.flags = kTextureFlag | kUsageImmutable | kBindShaderResource | kCubeMap;
  d.format = 0x50404;
  d.width = d.height = n;
  d.arraySize = 6;
  d.mipLevels = 1;
  std::vector<float> texels;
  for (int f = 0; f < 6; ++f)
    for (uint32_t i = 0; i < n * n; ++i) texels.insert(texels.end(), {faceColour[f].x, faceColour[f].y, faceColour[f].z, 1});
  Texture* env = createTexture(device(), d, texels.data());
  textures_.push_back(env);

  const Mesh* sphere = sphereMesh(48);
  Material m;
  m.albedo = {1, 1, 1};
  m.roughness = 0.0f;
  m.metalness = 1.0f;
  m.ibl = 1.0f;
  setCamera({1.5f, 2.0f, -3.0f}, {0, 0, 0}, 45.0f);
  Operator& pass = lightPass([&] { draw(sphere, Float4x4::identity(), m); }, env);
  HalfImage out = light(pass);
  std::vector<Surfel> g = surfels();
  int checked = 0, agree = 0;
  for (uint32_t i = 0; i < kSize * kSize; ++i) {
    const Surfel& s = g[i];
    if (!s.geometry) continue;
    Float3 v = s.toEye;
    Float3 r = s.normal * (2 * dot(s.normal, v)) - v;
    float a[3] = {std::fabs(r.x), std::fabs(r.y), std::fabs(r.z)};
    int major = a[0] > a[1] ? (a[0] > a[2] ? 0 : 2) : (a[1] > a[2] ? 1 : 2);
    float second = std::max({major == 0 ? 0 : a[0], major == 1 ? 0 : a[1], major == 2 ? 0 : a[2]});
    if (a[major] < 1.3f * second) continue;  // near a face edge the sampler blends faces
    float comp[3] = {r.x, r.y, r.z};
    int face = major * 2 + (comp[major] < 0 ? 1 : 0);
    Float4 o = out.at(i % kSize, i / kSize);
    float mx = std::max({o.x, o.y, o.z});
    if (!(mx > 0)) continue;
    ++checked;
    Float3 want = faceColour[face];
    bool same = (o.x > 0.5f * mx) == (want.x > 0.5f) && (o.y > 0.5f * mx) == (want.y > 0.5f) &&
                (o.z > 0.5f * mx) == (want.z > 0.5f);
    agree += same ? 1 : 0;
  }
  EXPECT_GT(checked, 300);
  EXPECT_GE(agree, checked * 97 / 100);
}

TEST_F(LightingGpuTest, DegenerateLightsLeaveEveryPixelFinite) {
  // Lights of no direction, no radius, no cone or a cone of 180 degrees and more, no range:
  // drawn with shadows and scattering, none may put NaN or infinity into the picture.
  const Mesh* quad = quadMesh();
  const Mesh* cube = boxMesh();
  setCamera({0, 4, -5}, {0, 0, 0}, 60.0f);
  dirLights().push_back(dirLight({0, 0, 0}, {1, 1, 1}, true));
  dirLights().push_back(dirLight({0, 1, 0}, {1, 1, 1}, true));  // straight above
  PointLightRecord point = pointLight({0, 1, 0}, 0.0f, {1, 1, 1}, 5.0f);
  point.scattering = {0.5f, 1.0f, 1.0f, 0};
  pointLights().push_back(point);
  for (float angle : {0.0f, 180.0f, 270.0f}) {
    SpotLightRecord s = spotLight({0, 3, 0}, {0, -1, 0}, angle, 10.0f, {5, 5, 5}, true);
    s.scattering = {0.5f, 1.0f, 1.0f, 1.0f};
    spotLights().push_back(s);
  }
  SpotLightRecord noDirection = spotLight({0, 3, 0}, {0, -1, 0}, 45.0f, 0.0f, {5, 5, 5}, true);
  noDirection.direction = {0, 0, 0, 0};
  spotLights().push_back(noDirection);
  Material m;
  m.ibl = 1.0f;
  Operator& pass = lightPass([&] {
    draw(quad, mat::scaling({10, 1, 10}), m);
    draw(cube, mat::translation({0, 0.5f, 0}), m);
  });
  HalfImage out = light(pass);
  for (uint32_t y = 0; y < kSize; ++y)
    for (uint32_t x = 0; x < kSize; ++x) {
      Float4 p = out.at(x, y);
      ASSERT_TRUE(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z) && std::isfinite(p.w))
          << "pixel " << x << "," << y;
    }
  EXPECT_TRUE(mat::isFinite(sLighting->cascadeViewProjection[0]));
  EXPECT_TRUE(mat::isFinite(sLighting->spotView));
  EXPECT_TRUE(mat::isFinite(sLighting->spotProjection));
}
