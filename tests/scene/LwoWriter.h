#pragma once
// A small writer of LightWave object files for tests: chunks are appended in the order
// the test gives, big-endian, with the FORM length filled in at the end.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace lwo {

class Bytes {
 public:
  Bytes& id(const char* four) {
    data.insert(data.end(), four, four + 4);
    return *this;
  }
  Bytes& u16(uint32_t v) {
    data.push_back(uint8_t(v >> 8));
    data.push_back(uint8_t(v));
    return *this;
  }
  Bytes& u32(uint32_t v) {
    u16(v >> 16);
    return u16(v & 0xFFFF);
  }
  Bytes& f32(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    return u32(bits);
  }
  // Two bytes below 0xFF00, else four with the first 0xFF.
  Bytes& vx(uint32_t index) { return index < 0xFF00 ? u16(index) : u32(0xFF000000u | index); }
  Bytes& s0(const std::string& s) {
    data.insert(data.end(), s.begin(), s.end());
    data.push_back(0);
    if (data.size() & 1) data.push_back(0);
    return *this;
  }
  Bytes& raw(const Bytes& other) {
    data.insert(data.end(), other.data.begin(), other.data.end());
    return *this;
  }
  std::vector<uint8_t> data;
};

struct Point {
  float x, y, z;
};

class File {
 public:
  File& chunk(const char* tag, const Bytes& body) {
    Bytes c;
    c.id(tag).u32(uint32_t(body.data.size())).raw(body);
    chunks.raw(c);
    return *this;
  }
  File& layer(uint16_t number) { return chunk("LAYR", Bytes().u16(number).u16(0).f32(0).f32(0).f32(0).s0("")); }
  File& points(const std::vector<Point>& pts) {
    Bytes b;
    for (const Point& p : pts) b.f32(p.x).f32(p.y).f32(p.z);
    return chunk("PNTS", b);
  }
  File& polygons(const std::vector<std::vector<uint32_t>>& polys) {
    Bytes b;
    b.id("FACE");
    for (const auto& p : polys) {
      b.u16(uint32_t(p.size()));
      for (uint32_t i : p) b.vx(i);
    }
    return chunk("POLS", b);
  }
  File& tags(const std::vector<std::string>& names) {
    Bytes b;
    for (const auto& n : names) b.s0(n);
    return chunk("TAGS", b);
  }
  // Every polygon index given gets the tag.
  File& surfaceTags(const std::vector<std::pair<uint32_t, uint32_t>>& polygonTag) {
    Bytes b;
    b.id("SURF");
    for (auto [p, t] : polygonTag) b.vx(p).u16(t);
    return chunk("PTAG", b);
  }
  // A surface with an optional smoothing angle (radians) and one other sub-chunk to skip.
  File& surface(const std::string& name, float smoothing = -1.0f) {
    Bytes b;
    b.s0(name).s0("");
    b.id("COLR").u16(14).f32(1).f32(1).f32(1).u16(0);
    if (smoothing >= 0.0f) b.id("SMAN").u16(4).f32(smoothing);
    return chunk("SURF", b);
  }
  struct Normal {
    uint32_t point, polygon;
    float x, y, z;
  };
  File& normals(const std::vector<Normal>& entries) {
    Bytes b;
    b.id("NORM").u16(3).s0("normals");
    for (const Normal& n : entries) b.vx(n.point).vx(n.polygon).f32(n.x).f32(n.y).f32(n.z);
    return chunk("VMAD", b);
  }
  std::vector<uint8_t> bytes() const {
    Bytes out;
    out.id("FORM").u32(uint32_t(chunks.data.size() + 4)).id("LWO2").raw(chunks);
    return out.data;
  }
  Bytes chunks;
};

}  // namespace lwo
