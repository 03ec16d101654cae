#include "scene/LightWave.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Big-endian reads within one chunk body; every read checks what is left first.
class Reader {
 public:
  Reader(const uint8_t* begin, const uint8_t* end) : p_(begin), end_(end) {}

  size_t left() const { return size_t(end_ - p_); }
  bool empty() const { return p_ >= end_; }
  const uint8_t* position() const { return p_; }

  bool u16(uint16_t& v) {
    if (left() < 2) return false;
    v = uint16_t(p_[0] << 8 | p_[1]);
    p_ += 2;
    return true;
  }
  bool u32(uint32_t& v) {
    if (left() < 4) return false;
    v = uint32_t(p_[0]) << 24 | uint32_t(p_[1]) << 16 | uint32_t(p_[2]) << 8 | uint32_t(p_[3]);
    p_ += 4;
    return true;
  }
  bool f32(float& v) {
    uint32_t bits = 0;
    if (!u32(bits)) return false;
    std::memcpy(&v, &bits, 4);
    return true;
  }
  bool vec3(Float3& v) { return f32(v.x) && f32(v.y) && f32(v.z); }
  bool id4(char out[5]) {
    if (left() < 4) return false;
    std::memcpy(out, p_, 4);
    out[4] = 0;
    p_ += 4;
    return true;
  }
  // Variable-length index: two bytes, or four when the first is 0xFF (low 24 bits).
  bool vx(uint32_t& v) {
    if (left() < 2) return false;
    if (p_[0] != 0xFF) {
      uint16_t s = 0;
      u16(s);
      v = s;
      return true;
    }
    if (!u32(v)) return false;
    v &= 0x00FFFFFF;
    return true;
  }
  // Zero-terminated string padded to an even length.
  bool s0(std::string& s) {
    const uint8_t* z = static_cast<const uint8_t*>(std::memchr(p_, 0, left()));
    if (!z) return false;
    s.assign(reinterpret_cast<const char*>(p_), size_t(z - p_));
    size_t used = size_t(z - p_) + 1;
    used += used & 1;
    p_ += std::min(used, left());
    return true;
  }
  void skip(size_t n) { p_ += std::min(n, left()); }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

struct NormalEntry {
  uint32_t point;
  uint32_t polygon;
  Float3 normal;
};

struct LayerState {
  uint32_t pointOffset = 0;    // points the layer had before its last "PNTS"
  uint32_t polygonOffset = 0;  // polygons the layer had before its last "POLS"
  std::vector<NormalEntry> normals;
};

std::string describe(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string describe(const char* fmt, ...) {
  char text[256];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof(text), fmt, args);
  va_end(args);
  return text;
}

class Parser {
 public:
  Parser(LwoObject& object, std::string& error) : object_(object), error_(error) {}

  bool chunk(const char* tag, Reader r) {
    if (!std::strcmp(tag, "LAYR")) return layer(r);
    if (!std::strcmp(tag, "PNTS")) return points(r);
    if (!std::strcmp(tag, "BBOX")) return bbox(r);
    if (!std::strcmp(tag, "POLS")) return polygons(r);
    if (!std::strcmp(tag, "PTAG")) return polygonTags(r);
    if (!std::strcmp(tag, "TAGS")) return tags(r);
    if (!std::strcmp(tag, "SURF")) return surface(r);
    if (!std::strcmp(tag, "VMAD")) return vertexMap(r);
    return true;
  }

  bool finish();

 private:
  LwoLayer& current() {
    if (object_.layers.empty()) {  // the default layer collects data until the first "LAYR"
      object_.layers.emplace_back();
      states_.emplace_back();
    }
    return object_.layers.back();
  }
  LayerState& state() {
    current();
    return states_.back();
  }
  bool fail(std::string text) {
    error_ = std::move(text);
    return false;
  }

  bool layer(Reader r) {
    if (!sawLayer_) {
      object_.layers.clear();  // the default layer survives only in files without "LAYR"
      states_.clear();
      sawLayer_ = true;
    }
    LwoLayer l;
    if (!r.u16(l.number) || !r.u16(l.flags) || !r.vec3(l.pivot)) return fail("LAYR chunk is too short");
    r.s0(l.name);
    object_.layers.push_back(std::move(l));
    states_.emplace_back();
    return true;
  }

  bool points(Reader r) {
    LwoLayer& l = current();
    state().pointOffset = uint32_t(l.points.size());
    while (r.left() >= 12) {
      LwoPoint p;
      r.vec3(p.position);
      l.points.push_back(std::move(p));
    }
    return true;
  }

  bool bbox(Reader r) {
    LwoLayer& l = current();
    float b[6];
    for (float& v : b)
      if (!r.f32(v)) return fail("BBOX chunk is too short");
    std::copy(b, b + 6, l.bounds);
    return true;
  }

  bool polygons(Reader r) {
    LwoLayer& l = current();
    LayerState& s = state();
    s.polygonOffset = uint32_t(l.polygons.size());
    char type[5];
    if (!r.id4(type)) return fail("POLS chunk is too short");
    while (!r.empty()) {
      uint16_t word = 0;
      if (!r.u16(word)) return fail("POLS chunk ends inside a polygon");
      LwoPolygon poly;
      poly.flags = uint16_t(word >> 10);
      const uint32_t count = word & 0x3FFu;
      poly.vertices.resize(count);
      for (uint32_t k = 0; k < count; ++k) {
        uint32_t index = 0;
        if (!r.vx(index)) return fail("POLS chunk ends inside a polygon");
        const uint64_t point = uint64_t(index) + s.pointOffset;
        if (point >= l.points.size())
          return fail(describe("POLS names point %llu, but the layer has %zu points", (unsigned long long)point,
                               l.points.size()));
        poly.vertices[k].point = uint32_t(point);
      }
      l.polygons.push_back(std::move(poly));
    }
    return true;
  }

  bool polygonTags(Reader r) {
    LwoLayer& l = current();
    const LayerState& s = state();
    char type[5];
    if (!r.id4(type)) return fail("PTAG chunk is too short");
    const int kind = !std::strcmp(type, "SURF") ? 0 : !std::strcmp(type, "SMGP") ? 1 : !std::strcmp(type, "PART") ? 2 : -1;
    if (kind < 0) return true;
    while (!r.empty()) {
      uint32_t index = 0;
      uint16_t tag = 0;
      if (!r.vx(index) || !r.u16(tag)) return fail("PTAG chunk ends inside an entry");
      const uint64_t polygon = uint64_t(index) + s.polygonOffset;
      if (polygon >= l.polygons.size())
        return fail(describe("PTAG names polygon %llu, but the layer has %zu polygons", (unsigned long long)polygon,
                             l.polygons.size()));
      const uint32_t value = uint32_t(tag) + tagOffset_;
      LwoPolygon& p = l.polygons[size_t(polygon)];
      (kind == 0 ? p.surfaceTag : kind == 1 ? p.smoothingGroup : p.part) = value;
    }
    return true;
  }

  bool tags(Reader r) {
    tagOffset_ = uint32_t(object_.tags.size());
    while (!r.empty()) {
      std::string s;
      if (!r.s0(s)) return fail("TAGS chunk ends inside a string");
      object_.tags.push_back(std::move(s));
    }
    return true;
  }

  bool surface(Reader r) {
    LwoSurface s;
    if (!r.s0(s.name) || !r.s0(s.source)) return fail("SURF chunk ends inside its name");
    while (r.left() >= 6) {
      char tag[5];
      uint16_t length = 0;
      r.id4(tag);
      r.u16(length);
      if (length > r.left())
        return fail(describe("SURF %s: sub-chunk %s runs past the end of its chunk", s.name.c_str(), tag));
      Reader sub(r.position(), r.position() + length);
      if (!std::strcmp(tag, "SMAN") && !sub.f32(s.smoothingAngle))
        return fail(describe("SURF %s: SMAN is too short", s.name.c_str()));
      r.skip(length + (length & 1u));
    }
    object_.surfaces.push_back(std::move(s));
    return true;
  }

  bool vertexMap(Reader r) {
    LwoLayer& l = current();
    LayerState& s = state();
    char type[5];
    uint16_t dimension = 0;
    std::string name;
    if (!r.id4(type) || !r.u16(dimension) || !r.s0(name)) return fail("VMAD chunk is too short");
    if (std::strcmp(type, "NORM") != 0 || dimension != 3) return true;
    while (!r.empty()) {
      uint32_t point = 0, polygon = 0;
      Float3 n;
      if (!r.vx(point) || !r.vx(polygon) || !r.vec3(n)) return fail("VMAD chunk ends inside an entry");
      const uint64_t pt = uint64_t(point) + s.pointOffset;
      const uint64_t pg = uint64_t(polygon) + s.polygonOffset;
      if (pt >= l.points.size())
        return fail(describe("VMAD names point %llu, but the layer has %zu points", (unsigned long long)pt,
                             l.points.size()));
      if (pg >= l.polygons.size())
        return fail(describe("VMAD names polygon %llu, but the layer has %zu polygons", (unsigned long long)pg,
                             l.polygons.size()));
      s.normals.push_back({uint32_t(pt), uint32_t(pg), n});
    }
    return true;
  }

  LwoObject& object_;
  std::string& error_;
  std::vector<LayerState> states_;
  uint32_t tagOffset_ = 0;  // tags the object had before its last "TAGS"
  bool sawLayer_ = false;
};

// Surfaces, point-to-polygon lists, polygon normals, smoothed vertex normals, then the
// explicit normals.
bool finishLayer(const LwoObject& object, LwoLayer& layer, const LayerState& state, std::string& error) {
  for (size_t i = 0; i < layer.polygons.size(); ++i) {
    LwoPolygon& p = layer.polygons[i];
    p.surface = -1;
    if (p.surfaceTag < object.tags.size()) {
      const std::string& name = object.tags[p.surfaceTag];
      for (size_t s = 0; s < object.surfaces.size(); ++s)
        if (object.surfaces[s].name == name) {
          p.surface = int32_t(s);
          break;
        }
    }
    if (p.surface < 0) {
      error = p.surfaceTag < object.tags.size()
                  ? describe("polygon %zu of layer %u has surface \"%s\", which no SURF describes", i, layer.number,
                             object.tags[p.surfaceTag].c_str())
                  : describe("polygon %zu of layer %u has surface tag %u, but the object has %zu tags", i,
                             layer.number, p.surfaceTag, object.tags.size());
      return false;
    }
    for (const LwoPolygonVertex& v : p.vertices) {
      std::vector<uint32_t>& users = layer.points[v.point].polygons;
      if (users.empty() || users.back() != uint32_t(i)) users.push_back(uint32_t(i));
    }
    if (p.vertices.size() >= 3) {
      const Float3 p0 = layer.points[p.vertices[0].point].position;
      const Float3 p1 = layer.points[p.vertices[1].point].position;
      const Float3 pl = layer.points[p.vertices.back().point].position;
      p.normal = normalize(cross(p1 - p0, pl - p0));
    }
  }
  for (size_t i = 0; i < layer.polygons.size(); ++i) {
    LwoPolygon& p = layer.polygons[i];
    const float angle = object.surfaces[size_t(p.surface)].smoothingAngle;
    for (LwoPolygonVertex& v : p.vertices) {
      v.normal = p.normal;
      if (!(angle > 0.0f)) continue;
      for (uint32_t q : layer.points[v.point].polygons) {
        const LwoPolygon& other = layer.polygons[q];
        if (q == i || other.surface != p.surface) continue;
        // Clamped, so that two coplanar polygons (a dot a hair above 1) still smooth.
        const float d = std::clamp(dot(p.normal, other.normal), -1.0f, 1.0f);
        if (std::acos(d) <= angle) v.normal = v.normal + other.normal;
      }
    }
  }
  for (const NormalEntry& e : state.normals) {
    for (LwoPolygonVertex& v : layer.polygons[e.polygon].vertices)
      if (v.point == e.point) {
        v.normal = e.normal;
        break;
      }
  }
  return true;
}

bool Parser::finish() {
  bool any = false;
  for (const LwoLayer& l : object_.layers)
    if (!l.polygons.empty()) any = true;
  if (!any) return fail("the object has no polygons");
  for (size_t i = 0; i < object_.layers.size(); ++i)
    if (!finishLayer(object_, object_.layers[i], states_[i], error_)) return false;
  return true;
}

}  // namespace

bool parseLwo(const uint8_t* data, size_t size, LwoObject& object, std::string& error) {
  object = LwoObject{};
  error.clear();
  if (!data || size < 12 || std::memcmp(data, "FORM", 4) != 0 || std::memcmp(data + 8, "LWO2", 4) != 0) {
    error = "Wrong file type!";
    return false;
  }
  Parser parser(object, error);
  size_t offset = 12;
  while (offset < size) {
    if (size - offset < 8) {
      error = describe("a chunk header at byte %zu runs past the end of the file", offset);
      return false;
    }
    char tag[5];
    std::memcpy(tag, data + offset, 4);
    tag[4] = 0;
    for (int i = 0; i < 4; ++i)
      if (tag[i] < 0x20 || tag[i] > 0x7E) tag[i] = '?';
    const uint32_t length = uint32_t(data[offset + 4]) << 24 | uint32_t(data[offset + 5]) << 16 |
                            uint32_t(data[offset + 6]) << 8 | uint32_t(data[offset + 7]);
    const size_t body = offset + 8;
    if (length > size - body) {
      error = describe("chunk %s at byte %zu is %u bytes long, past the end of the file", tag, offset, length);
      return false;
    }
    if (!parser.chunk(tag, Reader(data + body, data + body + length))) {
      error = describe("chunk %s at byte %zu: %s", tag, offset, error.c_str());
      return false;
    }
    offset = body + length + (length & 1u);  // chunks are padded to an even length
  }
  return parser.finish();
}

std::vector<LwoVertex> lwoTriangles(const LwoLayer& layer, int32_t surface) {
  std::vector<LwoVertex> out;
  for (const LwoPolygon& p : layer.polygons) {
    if (surface >= 0 && p.surface != surface) continue;
    if (p.vertices.size() < 3) continue;
    auto vertex = [&](const LwoPolygonVertex& v) {
      LwoVertex o;
      o.position = layer.points[v.point].position;
      o.normal = v.normal;
      return o;
    };
    for (size_t k = 1; k + 1 < p.vertices.size(); ++k) {
      out.push_back(vertex(p.vertices[0]));
      out.push_back(vertex(p.vertices[k]));
      out.push_back(vertex(p.vertices[k + 1]));
    }
  }
  return out;
}
