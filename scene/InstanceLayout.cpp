#include "scene/InstanceLayout.h"

#include <cmath>

Float4x4 repeatStep(int32_t i, Float3 position, Float3 rotationDegrees, Float3 scale) {
  const float k = static_cast<float>(i);
  const Float3 one{1.0f, 1.0f, 1.0f};
  return mat::scaleRotateTranslate(one + k * (scale - one), k * rotationDegrees, k * position);
}

ReplicateLayout::ReplicateLayout(const ReplicateSettings& settings) : s_(settings), engine_(settings.seed) {}

float ReplicateLayout::draw(float lo, float hi) {
  const uint32_t v = static_cast<uint32_t>(engine_());
  return lo + (hi - lo) * (static_cast<float>(v) * (1.0f / 4294967296.0f));
}

void ReplicateLayout::place(Float4x4& rotation, Float4x4& frame) {
  const int32_t i = index_++;
  const float step = 6.2831853f / static_cast<float>(s_.count);

  Float3 p;
  switch (s_.mode) {
    case kReplicateRing: {
      const float a = static_cast<float>(i) * step;
      p = {std::cos(a) * s_.radius, 0.0f, std::sin(a) * s_.radius};
      break;
    }
    case kReplicatePoint: {
      const float u1 = draw(-1.0f, 1.0f);
      const float u2 = draw(-1.0f, 1.0f);
      const float u3 = draw(-1.0f, 1.0f);
      p = Float3{u3, u2, u1} * s_.radius;
      break;
    }
    case kReplicateDisc: {
      const float u1 = draw(-1.0f, 1.0f);
      const float u2 = draw(-1.0f, 1.0f);
      p = Float3{u2, 0.0f, u1} * s_.radius;
      break;
    }
    case kReplicateSpherical: {
      // The radius fraction is uniform, so copies crowd towards the centre.
      const float r = draw(0.0f, 1.0f);
      const float theta = draw(0.0f, 3.14159265f);
      const float phi = draw(0.0f, 6.2831853f);
      p = Float3{std::cos(theta) * std::sin(phi), std::sin(theta) * std::sin(phi), std::cos(phi)} * (r * s_.radius);
      break;
    }
    default: break;
  }

  // Facing: outward from the centre. A copy at the centre (radius 0, or an unknown mode) has
  // no outward direction and faces +Z like the fixed orientation, instead of collapsing to a
  // zero frame; one on the -Y axis takes the other up hint like one on +Y.
  Float3 n{0.0f, 0.0f, 1.0f};
  const float lengthSq = dot(p, p);
  if (s_.orientation != kOrientFixed && lengthSq > 0.0f && std::isfinite(lengthSq)) n = normalize(p);
  const Float3 hint = std::fabs(n.y) > 0.999999f ? Float3{1.0f, 0.0f, 0.0f} : Float3{0.0f, 1.0f, 0.0f};
  const Float3 a = normalize(cross(n, hint));
  const Float3 b = normalize(cross(a, n));

  const float d1 = draw(-0.5f, 0.5f);
  const float d2 = draw(-0.5f, 0.5f);
  const float d3 = draw(-0.5f, 0.5f);
  Float3 q = p + s_.offset + Float3{d3 * s_.offsetRandom.x, d2 * s_.offsetRandom.y, d1 * s_.offsetRandom.z};

  const float size = 1.0f + draw(0.0f, s_.sizeRandom);
  if (s_.wrap > 0.5f) q.x = std::fmod(q.x, s_.wrap);

  const float e1 = draw(0.0f, 1.0f);
  const float e2 = draw(0.0f, 1.0f);
  const float e3 = draw(0.0f, 1.0f);
  rotation = mat::rotationEulerDegrees(
      {e3 * s_.rotateRandom.x, e2 * s_.rotateRandom.y, e1 * s_.rotateRandom.z});

  frame.setRow(0, size * a, 0.0f);
  frame.setRow(1, size * b, 0.0f);
  frame.setRow(2, -size * n, 0.0f);
  frame.setRow(3, q, 1.0f);
}

Float4x4 ReplicateLayout::next() {
  Float4x4 r, frame;
  place(r, frame);
  const float f1 = draw(0.0f, 1.0f);
  const float f2 = draw(0.0f, 1.0f);
  const float f3 = draw(0.0f, 1.0f);
  const Float4x4 scale =
      mat::scaling({1.0f + f3 * s_.scaleRandom.x, 1.0f + f2 * s_.scaleRandom.y, 1.0f + f1 * s_.scaleRandom.z});
  return scale * r * frame;
}

Float4x4 ReplicateLayout::nextUnder(const Float4x4& node) {
  Float4x4 r, frame;
  place(r, frame);
  return node * r * frame;
}

void replicateInstances(const ReplicateSettings& s, const Float4x4& node, Float4x4* out) {
  ReplicateLayout layout(s);
  for (int32_t i = 0; i < s.count; ++i) out[i] = layout.nextUnder(node);
}
