#pragma once
// The shader-driven generators: no mesh on the CPU, a program named by a parameter draws a
// number of points (which its geometry stage turns into geometry) into the G-buffer with
// the per-object constants and constants of its own; "ProcMesh" has a compute pass generate
// its triangles, which it draws and hands to the shadow passes. A program that does not load
// draws nothing.
#include <cstdint>
#include <iterator>
#include <memory>

#include "engine/Operator.h"
#include "scene/Mesh.h"

class ShaderProgram;
class Texture;

// Upper bound of the points one generator draws (a parameter of 1e12 would stall the GPU).
constexpr uint32_t kMaxGeneratorPoints = 1u << 24;
// Points from a float parameter: truncated, negative and NaN give 0, capped as above.
uint32_t generatorPointCount(float value);

class PointGridOp : public Operator {
 public:
  enum In : uint32_t {
    Shader, SizeX, SizeY, OffsetX, OffsetY, HeightMap, Param1X, Param1Y, Param1Z, Param1W, Count
  };
  static const ParamDecl kParams[];
  PointGridOp();
  class PointGridFunction : public Function {
   public:
    PointGridFunction();
    ~PointGridFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    std::unique_ptr<ShaderProgram> program;
    Mesh points;  // the draw: a point list without vertex streams
  };
};

class CorruptionOp : public Operator {
 public:
  enum In : uint32_t {
    Shader,
    Point1X, Point1Y, Point1Z,
    ControlPoint1X, ControlPoint1Y, ControlPoint1Z,
    Point2X, Point2Y, Point2Z,
    ControlPoint2X, ControlPoint2Y, ControlPoint2Z,
    PointCount, StartRadius, EndRadius, MiddleRadius, RadiusPower, EndPointOffset,
    Count
  };
  static const ParamDecl kParams[];
  CorruptionOp();
  class CorruptionFunction : public Function {
   public:
    CorruptionFunction();
    ~CorruptionFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    std::unique_ptr<ShaderProgram> program;
    Mesh points;
  };
};

// Thread groups of the generating compute pass for n points: tx = ty = 1, doubled in turn
// (tx first) while tx * ty * 256 < n; a count whose 16-fold exceeds 1024 becomes 64.
void procMeshThreadGroups(uint32_t points, uint32_t& tx, uint32_t& ty);

class ProcMeshOp : public Operator {
 public:
  enum In : uint32_t {
    DrawFile, ComputeFile, VSEntry, PSEntry, GSEntry, CSEntry, CastShadows, Attractors, Points, TrisPerPoint,
    Param0, Param1, Param2, Param3, Param4, Param5, Param6, Param7,
    Count
  };
  static const ParamDecl kParams[];
  static constexpr uint32_t kMaxAttractors = 32;
  // One generated point as the compute pass writes it and the draw reads it (t8 / u0).
  static constexpr uint32_t kPointStride = 64;
  // One vertex of the generated triangles (u1 of the compute pass, then the vertex stream of
  // the draw and of the shadow passes): the 44-byte layout of imported meshes.
  static constexpr uint32_t kTriangleVertexStride = 44;
  // "Tris Per Point" is taken up to this many; the points drawn are cut so that the
  // triangles stay within kMaxGeneratedTriangles (the buffer holds them all).
  static constexpr uint32_t kMaxTrianglesPerPoint = 64;
  static constexpr uint32_t kMaxGeneratedTriangles = 1u << 20;
  ProcMeshOp();
  class ProcMeshFunction : public Function {
   public:
    ProcMeshFunction();
    ~ProcMeshFunction() override;
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    std::unique_ptr<ShaderProgram> drawProgram;
    std::unique_ptr<ShaderProgram> computeProgram;
    Texture* pointBuffer = nullptr;  // grows to the largest dispatch seen
    uint32_t pointCapacity = 0;
    // The generated triangles, a plain triangle list that owns its vertex buffer (grown like
    // the points); the draw and the shadow caster use it as it is.
    Mesh triangles;
    uint32_t triangleCapacity = 0;  // vertices
  };
};
