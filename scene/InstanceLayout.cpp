#include "scene/InstanceLayout.h"

#include <cmath>
#include <random>

Float4x4 repeatInstance(int32_t i, Float3 position, Float3 rotationDegrees, Float3 scale) {
  const float k = static_cast<float>(i);
  const Float3 one{1.0f, 1.0f, 1.0f};
  return mat::scaleRotateTranslate(one + k * (scale - one), k * rotationDegrees, k * position);
}

namespace {

class Uniform {
 public:
  explicit Uniform(uint32_t seed) : engine_(seed) {}
  // a + (b - a) * v / 2^32 from one 32-bit output.
  float operator()(float a, float b) {
    const uint32_t v = static_cast<uint32_t>(engine_());
    return a + (b - a) * (static_cast<float>(v) * (1.0f / 4294967296.0f));
  }

 private:
  std::mt19937 engine_;
};

}  // namespace

void replicateInstances(const ReplicateInstSettings& s, const Float4x4& node, Float4x4* out) {
  Uniform draw(s.seed);
  const float step = 6.2831853f / static_cast<float>(s.count);
  for (int32_t i = 0; i < s.count; ++i) {
    Float3 p;
    switch (s.mode) {
      case kReplicateRing: {
        const float a = static_cast<float>(i) * step;
        p = {std::cos(a) * s.radius, 0.0f, std::sin(a) * s.radius};
        break;
      }
      case kReplicatePoint: {
        const float u1 = draw(-1.0f, 1.0f);
        const float u2 = draw(-1.0f, 1.0f);
        const float u3 = draw(-1.0f, 1.0f);
        p = Float3{u3, u2, u1} * s.radius;
        break;
      }
      case kReplicateDisc: {
        const float u1 = draw(-1.0f, 1.0f);
        const float u2 = draw(-1.0f, 1.0f);
        p = Float3{u2, 0.0f, u1} * s.radius;
        break;
      }
      case kReplicateSpherical: {
        // The radius fraction is uniform, so copies crowd towards the centre.
        const float r = draw(0.0f, 1.0f);
        const float theta = draw(0.0f, 3.14159265f);
        const float phi = draw(0.0f, 6.2831853f);
        p = Float3{std::cos(theta) * std::sin(phi), std::sin(theta) * std::sin(phi), std::cos(phi)} * (r * s.radius);
        break;
      }
      default: break;
    }

    // A copy at the centre has no outward direction: it faces +Z as with the fixed
    // orientation instead of collapsing to a zero frame. Straight down takes the other up
    // hint like straight up, for the same reason.
    Float3 n{0.0f, 0.0f, 1.0f};
    const float lengthSq = dot(p, p);
    if (s.orientation != kOrientFixed && lengthSq > 0.0f && std::isfinite(lengthSq)) n = normalize(p);
    const Float3 hint = std::fabs(n.y) > 0.999999f ? Float3{1.0f, 0.0f, 0.0f} : Float3{0.0f, 1.0f, 0.0f};
    const Float3 a = normalize(cross(n, hint));
    const Float3 b = normalize(cross(a, n));

    const float d1 = draw(-0.5f, 0.5f);
    const float d2 = draw(-0.5f, 0.5f);
    const float d3 = draw(-0.5f, 0.5f);
    Float3 q = p + s.offset + Float3{d3 * s.offsetRandom.x, d2 * s.offsetRandom.y, d1 * s.offsetRandom.z};
    const float size = 1.0f + draw(0.0f, s.sizeRandom);
    if (s.wrap > 0.5f) q.x = std::fmod(q.x, s.wrap);

    const float e1 = draw(0.0f, 1.0f);
    const float e2 = draw(0.0f, 1.0f);
    const float e3 = draw(0.0f, 1.0f);
    const Float4x4 r =
        mat::rotationEulerDegrees({e3 * s.rotateRandom.x, e2 * s.rotateRandom.y, e1 * s.rotateRandom.z});

    Float4x4 frame;
    frame.setRow(0, size * a, 0.0f);
    frame.setRow(1, size * b, 0.0f);
    frame.setRow(2, -size * n, 0.0f);
    frame.setRow(3, q, 1.0f);
    out[i] = node * r * frame;
  }
}
