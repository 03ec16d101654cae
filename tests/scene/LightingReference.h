#pragma once
// CPU references of the lighting formulas (data/shaders/common/brdf.hlsli and
// lighting.hlsli), written from the formulas themselves so that the GPU tests compare the
// shaders against an independent evaluation.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/Math.h"

namespace lightref {

constexpr float kPi = 3.14159265358979f;

inline float sat(float v) { return std::clamp(v, 0.0f, 1.0f); }
inline Float3 mul3(Float3 a, Float3 b) { return {a.x * b.x, a.y * b.y, a.z * b.z}; }
inline Float3 add3(Float3 a, Float3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Float3 lerp3(Float3 a, Float3 b, float t) { return a + (b - a) * t; }

struct Surface {
  Float3 albedo;
  float roughness = 0.5f;
  float metalness = 0.0f;
  float specular = 0.5f;
};

inline float alphaOf(float roughness) {
  float r = std::clamp(roughness, 0.03f, 1.0f);
  return r * r;
}
inline Float3 f0Of(const Surface& s) {
  float d = sat(0.08f * s.specular);
  return lerp3({d, d, d}, {sat(s.albedo.x), sat(s.albedo.y), sat(s.albedo.z)}, sat(s.metalness));
}
inline float ggx(float NdotH, float alpha) {
  float a2 = alpha * alpha;
  float d = NdotH * NdotH * (a2 - 1) + 1;
  return a2 / (kPi * d * d);
}
inline float smithVis(float NdotV, float NdotL, float alpha) {
  float a2 = alpha * alpha;
  float gv = NdotL * std::sqrt(NdotV * NdotV * (1 - a2) + a2);
  float gl = NdotV * std::sqrt(NdotL * NdotL * (1 - a2) + a2);
  return 0.5f / std::max(gv + gl, 1e-7f);
}
inline Float3 schlick(Float3 f0, float c) {
  float m = sat(1 - c);
  float p = m * m * m * m * m;
  return {f0.x + (1 - f0.x) * p, f0.y + (1 - f0.y) * p, f0.z + (1 - f0.z) * p};
}

// Light reflected towards V by one light of colour c from direction L.
inline Float3 brdfLight(Float3 N, Float3 V, Float3 L, const Surface& s, Float3 c) {
  float NdotL = dot(N, L);
  if (NdotL <= 0) return {0, 0, 0};
  float NdotV = std::max(dot(N, V), 1e-4f);
  Float3 H = normalize(V + L);
  float NdotH = sat(dot(N, H)), VdotH = sat(dot(V, H));
  float alpha = alphaOf(s.roughness);
  Float3 F = schlick(f0Of(s), VdotH);
  float dv = ggx(NdotH, alpha) * smithVis(NdotV, NdotL, alpha);
  Float3 specular = F * dv;
  float kd = 1.0f - sat(s.metalness);
  Float3 diff = {s.albedo.x * kd * (1 - F.x) / kPi, s.albedo.y * kd * (1 - F.y) / kPi, s.albedo.z * kd * (1 - F.z) / kPi};
  return mul3(add3(diff, specular) * (kPi * NdotL), c);
}

inline float distanceFalloff(float d, float range) {
  float r = std::max(range, 1e-4f);
  float x = sat(1 - std::pow(d / r, 4.0f));
  return x * x / (d * d + 1);
}

inline float smoothstep(float e0, float e1, float x) {
  float t = sat((x - e0) / (e1 - e0));
  return t * t * (3 - 2 * t);
}

// The spot's cone with its soft edge times the distance falloff (before shadows).
inline float spotFactor(Float3 pos, Float3 lightPos, Float3 dir, float angleDegrees, float farPlane, Float3& L) {
  Float3 toLight = lightPos - pos;
  float d = length(toLight);
  L = toLight * (1.0f / d);
  float cosOuter = std::cos(angleDegrees * 0.5f * kDegToRad);
  float cosInner = std::cos(std::acos(cosOuter) * 0.8f);
  return smoothstep(cosOuter, std::max(cosInner, cosOuter + 1e-4f), dot(-L, dir)) * distanceFalloff(d, farPlane);
}

// The lookup texture's texel: the same Hammersley set and lobe as the shader.
inline float radicalInverse(uint32_t i) {
  i = (i << 16) | (i >> 16);
  i = ((i & 0x55555555u) << 1) | ((i & 0xAAAAAAAAu) >> 1);
  i = ((i & 0x33333333u) << 2) | ((i & 0xCCCCCCCCu) >> 2);
  i = ((i & 0x0F0F0F0Fu) << 4) | ((i & 0xF0F0F0F0u) >> 4);
  i = ((i & 0x00FF00FFu) << 8) | ((i & 0xFF00FF00u) >> 8);
  return float(i) * 2.3283064365386963e-10f;
}
inline Float2 integrateEnvironmentBrdf(float NdotV, float roughness, uint32_t n) {
  NdotV = std::max(NdotV, 1e-4f);
  Float3 V{std::sqrt(sat(1 - NdotV * NdotV)), 0, NdotV};
  float alpha = alphaOf(roughness);
  double a = 0, b = 0;
  for (uint32_t i = 0; i < n; ++i) {
    float x1 = (float(i) + 0.5f) / float(n), x2 = radicalInverse(i);
    float phi = 2 * kPi * x1;
    float cosT = std::sqrt((1 - x2) / (1 + (alpha * alpha - 1) * x2));
    float sinT = std::sqrt(sat(1 - cosT * cosT));
    Float3 H{sinT * std::cos(phi), sinT * std::sin(phi), cosT};
    float VdotH = dot(V, H);
    Float3 L = H * (2 * VdotH) - V;
    if (L.z > 0 && VdotH > 0) {
      float w = smithVis(NdotV, L.z, alpha) * 4 * L.z * VdotH / std::max(H.z, 1e-7f);
      float m = 1 - VdotH;
      float fc = m * m * m * m * m;
      a += (1 - fc) * w;
      b += fc * w;
    }
  }
  return {float(a / n), float(b / n)};
}

// The image-based term for an environment of one radiance everywhere.
inline Float3 uniformEnvironmentLight(Float3 N, Float3 V, const Surface& s, Float3 radiance, Float2 envBrdf) {
  float NdotV = std::max(dot(N, V), 1e-4f);
  Float3 f0 = f0Of(s);
  Float3 specular = {f0.x * envBrdf.x + envBrdf.y, f0.y * envBrdf.x + envBrdf.y, f0.z * envBrdf.x + envBrdf.y};
  Float3 F = schlick(f0, NdotV);
  float kd = 1 - sat(s.metalness);
  Float3 diff = {s.albedo.x * kd * (1 - F.x), s.albedo.y * kd * (1 - F.y), s.albedo.z * kd * (1 - F.z)};
  return mul3(add3(diff, specular), radiance);
}

// IEEE half to float.
inline float halfToFloat(uint16_t h) {
  uint32_t sign = uint32_t(h >> 15) << 31, exp = (h >> 10) & 31, man = h & 1023;
  uint32_t bits;
  if (exp == 0) {
    if (man == 0) {
      bits = sign;
    } else {
      int e = -1;
      do {
        ++e;
        man <<= 1;
      } while (!(man & 1024));
      bits = sign | uint32_t(127 - 15 - e) << 23 | (man & 1023) << 13;
    }
  } else if (exp == 31) {
    bits = sign | 0x7F800000u | man << 13;
  } else {
    bits = sign | (exp + 127 - 15) << 23 | man << 13;
  }
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

// An RGBA16F read-back as floats.
struct HalfImage {
  uint32_t width = 0, height = 0;
  std::vector<float> texels;  // 4 per pixel
  HalfImage() = default;
  HalfImage(const std::vector<uint8_t>& bytes, uint32_t w, uint32_t h, uint32_t channels = 4) : width(w), height(h) {
    texels.assign(size_t(w) * h * 4, 0.0f);
    for (size_t i = 0; i < size_t(w) * h; ++i)
      for (uint32_t c = 0; c < channels; ++c) {
        uint16_t v;
        std::memcpy(&v, bytes.data() + (i * channels + c) * 2, 2);
        texels[i * 4 + c] = halfToFloat(v);
      }
  }
  Float4 at(uint32_t x, uint32_t y) const {
    const float* t = &texels[(size_t(y) * width + x) * 4];
    return {t[0], t[1], t[2], t[3]};
  }
};

}  // namespace lightref
