#pragma once
// Cloth: a mass-spring model integrated on the GPU in fixed sub-steps. "Cloth" simulates a
// generated plane (or the meshes of a file) with stretch, shear and bend springs;
// "ClothMesh" simulates the meshes of a file with their edges as springs plus optional
// auxiliary springs to anchor points. Both collide with a ground plane and sphere colliders,
// are pulled by attractors, draw into the G-buffer and cast shadows.
//
// The CPU builds each piece's topology once (ClothGeometry), the GPU keeps its state
// (ClothPiece), and ClothSolver runs the programs of one simulation file over the pieces.
// Record layouts, spring kinds and constants: docs/simulation.md.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/Math.h"
#include "engine/Operator.h"
#include "engine/Params.h"
#include "gfx/ShaderProgram.h"
#include "scene/Mesh.h"
#include "sim/SimCommon.h"

class Texture;
struct MeshVertex;

namespace sim {

enum SpringKind : uint32_t { kSpringStretch = 0, kSpringShear = 1, kSpringBend = 2, kSpringAux = 3 };

// The "Aux Connections" choices of "ClothMesh".
enum AuxConnections : uint32_t { kAuxNone = 0, kAuxCenter = 1, kAuxBox = 2, kAuxCenterBox = 3, kAuxBoxBottom = 4 };

struct ClothSpring {
  uint32_t other;
  float rest;
  uint32_t kind;
  uint32_t pad = 0;
};

// One piece's topology and rest shape, in the cloth's object space. Simulation vertices are
// welded (one per position); render vertices keep the file's seams and map onto them.
// Auxiliary anchors, when there are any, are the last simulation vertices; they are never drawn.
struct ClothGeometry {
  std::vector<Float3> positions;         // simulation vertices
  std::vector<float> inverseMass;        // 0: pinned
  std::vector<uint32_t> springRanges;    // per simulation vertex: first, count
  std::vector<ClothSpring> springs;      // each spring is listed at both of its ends
  std::vector<uint32_t> triangles;       // three simulation indices each
  std::vector<uint32_t> faceRanges;      // per simulation vertex: first, count into faceList
  std::vector<uint32_t> faceList;        // triangle numbers
  std::vector<uint32_t> remap;           // render vertex -> simulation vertex
  std::vector<Float3> renderNormals;     // rest normals of the render vertices
  std::vector<Float3> renderTangents;
  std::vector<Float2> renderUvs;
  std::vector<uint32_t> renderIndices;   // three render indices per triangle
  uint32_t anchors = 0;                  // auxiliary anchors at the end of `positions`
  uint32_t mostSprings[4] = {};          // most springs of each kind at one (non-anchor) vertex

  uint32_t simCount() const { return uint32_t(positions.size()); }
  uint32_t renderCount() const { return uint32_t(remap.size()); }
};

// Vertices per side of a generated plane: the divisions are the grid lines between the two
// edges, so 62 divisions make 64 x 64 vertices. Clamped to [2, 256].
uint32_t planeVerticesPerSide(float divisions);

// A plane of size w x h centred on `centre`, facing `normal`, with stretch (neighbours),
// shear (diagonals) and bend (two apart) springs.
ClothGeometry buildPlaneCloth(Float3 centre, Float3 normal, float w, float h, uint32_t verticesX,
                              uint32_t verticesY);

// A mesh welded by position (within 1e-6 of the mesh's size), with its edges as stretch
// springs; `bend` adds springs across every edge between the two opposite corners, and the
// auxiliary connections add anchors (the box's centre, its eight corners, or its four bottom
// corners) tied by springs to every vertex. Anchors are pinned when frozen, else their mass is
// their number of springs.
ClothGeometry buildMeshCloth(const std::vector<MeshVertex>& vertices, const std::vector<uint32_t>& indices,
                             const Float4x4& transform, bool bend, AuxConnections aux, bool freezeAux);

// Group counts of a piece of n vertices (16 x 16 threads a group): x and y start at 2 and
// double in turn, x first, until x * y * 256 >= n; a count whose 16-fold exceeds 1024 becomes 64.
void clothGroupCounts(uint32_t n, uint32_t& x, uint32_t& y);

// The sub-step clock: how many fixed sub-steps a frame runs. Elapsed time since the last
// evaluation plus the carried leftover counts up to 0.1 s; whole sub-steps run and the rest
// (less than one sub-step) is carried to the next evaluation.
class ClothClock {
 public:
  // Steps per second below 1 count as 1; above kMaxStepsPerSecond they are held there (so a
  // frame runs at most 1000 sub-steps).
  static constexpr float kMaxStepsPerSecond = 10000.0f;
  static float stepLength(float stepsPerSecond);
  uint32_t advance(float t, float stepsPerSecond);
  void restart(float t) {
    last_ = t;
    leftover_ = 0.0;
  }
  double leftover() const { return leftover_; }

 private:
  double last_ = 0.0;
  double leftover_ = 0.0;
};

// One cloth piece on the GPU.
class ClothPiece {
 public:
  ~ClothPiece();
  bool create(const ClothGeometry& g);
  // The rest shape into both state buffers; the ping-pong index back to 0.
  void restore();

  uint32_t simCount = 0, renderCount = 0, groupsX = 2, groupsY = 2;
  uint32_t mostSprings[4] = {};
  uint32_t current = 0;             // which state buffer holds the present state
  Texture* state[2] = {};           // 32-byte records: position, inverse mass, previous position
  Texture* rest = nullptr;
  Texture* springRanges = nullptr;  // t0
  Texture* springs = nullptr;       // t1
  Texture* faceRanges = nullptr;    // t2
  Texture* faceList = nullptr;      // t3
  Texture* triangles = nullptr;     // t4
  Texture* restShading = nullptr;   // t5: rest normal + u, rest tangent + v per render vertex
  Texture* remap = nullptr;         // t6
  Texture* positions = nullptr;     // u2: float4 texels, render vertex i at (i mod width, i div width)
  Texture* shading = nullptr;       // u3: normal + u, tangent + v per render vertex
  Texture* scratch = nullptr;       // u4: position and normal per simulation vertex
  Texture* indices = nullptr;
  Mesh drawRecord;                  // index buffer and position texture, no vertex buffers
};

// A collider in the cloth's object space: a sphere, or a box given by its centre and its three
// half-edge vectors (the box's axes scaled by half its size).
struct ClothCollider {
  Float3 centre;
  float radius = 0.0f;
  bool box = false;
  Float3 halfEdges[3];
};

// What a sub-step needs besides the pieces: forces, collisions and the world they act in,
// already in the cloth's object space.
struct ClothForces {
  float stretch = 15000.0f, shear = 10000.0f, bend = 10000.0f, aux = 0.0f;
  uint32_t auxConnections = 0;
  float damping = 20.0f, friction = 0.5f;
  Float3 gravity{0.0f, -100.0f, 0.0f};
  bool collideWithGround = false;
  Float3 groundPosition{0.0f, -5.0f, 0.0f}, groundNormal{0.0f, 1.0f, 0.0f};
  std::vector<ClothCollider> colliders;
  std::vector<Float4> attractors;  // xyz centre, w unused; radius and strength in attractorShape
  std::vector<Float4> attractorShape;  // x radius, y strength
  float collisionThreshold = 0.0001f;
};

// The simulation programs of one file ("CS", "NT1CS", "NT2CS", and "ApplyCS" for meshes).
class ClothSolver {
 public:
  static constexpr uint32_t kMaxForces = 32;  // colliders and attractors taken per evaluation
  bool load(const std::string& path, bool meshEntries);
  bool loaded() const { return loaded_; }
  // Runs `steps` sub-steps of length h on the piece, then rebuilds its normals when any ran.
  void simulate(ClothPiece& piece, const ClothForces& forces, float h, uint32_t steps);
  // Rebuilds positions and normals from the present state (after a restore, too).
  void rebuildNormals(ClothPiece& piece, const ClothForces& forces, float h);
  // Makes the sub-step program ready for the piece without changing it (after a build).
  void prepare(ClothPiece& piece);

 private:
  void normalPasses(ClothPiece& piece);
  void setConstants(const ClothPiece& piece, const ClothForces& forces, float h);
  void bind(ShaderProgram& p, ClothPiece& piece);
  std::unique_ptr<ShaderProgram> step_, normals1_, normals2_, apply_;
  bool mesh_ = false;
  bool loaded_ = false;
};

// Stiffness that keeps the explicit integration stable: a spring class's constant is held
// below 0.5 / (h^2 * most springs of that class at one vertex), whatever the parameter says.
float stableStiffness(float requested, float h, uint32_t springsAtOneVertex);

class ClothOp : public Operator {
 public:
  enum In : uint32_t {
    SdrSim, SdrRender, Update, Reset, SimStepAfterReset, MeshType, MeshPath,
    PlaneX, PlaneY, PlaneZ, PlaneNX, PlaneNY, PlaneNZ, PlaneW, PlaneH, PlaneWDivisions, PlaneHDivisions,
    Stretch, Shear, Bend, Damping, Friction, StepsPerSecond, GravityX, GravityY, GravityZ,
    CollideWithGround, GroundX, GroundY, GroundZ, GroundNX, GroundNY, GroundNZ,
    BackFaceCull, CastShadows, Attractors, Colliders, CollisionThreshold,
    Count
  };
  static const ParamDecl kParams[];
  ClothOp();
};

class ClothMeshOp : public Operator {
 public:
  enum In : uint32_t {
    SdrSim, SdrRender, Update, Reset, MeshPath, StretchForce, AuxForce, AuxConnectionsIn, FreezeAuxVertices,
    Damping, Friction, StepsPerSecond, GravityX, GravityY, GravityZ,
    CollideWithGround, GroundX, GroundY, GroundZ, GroundNX, GroundNY, GroundNZ,
    BackFaceCull, CastShadows, Attractors, Colliders, CollisionThreshold,
    Count
  };
  static const ParamDecl kParams[];
  ClothMeshOp();
};

// The function of both cloth operators.
class ClothFunction : public Function {
 public:
  explicit ClothFunction(bool meshOperator);
  ~ClothFunction() override;
  void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;

  const std::vector<std::unique_ptr<ClothPiece>>& pieces() const { return pieces_; }
  uint32_t lastSubSteps = 0;  // sub-steps of the latest evaluation, for tests
  struct Inputs;  // the input numbers of one of the two operators

 private:
  // What the geometry is made from: mesh type, plane centre, normal, size and divisions
  // (plane), aux connections and freezing (ClothMesh).
  struct GeometryInputs {
    float values[16] = {};
  };
  bool rebuild(const GeometryInputs& in, const std::string& path);
  void readForces(const std::vector<Port*>& sources, float t, Context& ctx, const Inputs& in, float h);
  void draw(Context& ctx, bool backFaceCull, bool castShadows);

  bool mesh_;
  ParamReader params_;
  ClothSolver solver_;
  std::string simPath_, renderPath_;
  std::unique_ptr<ShaderProgram> render_;
  std::vector<std::unique_ptr<ClothPiece>> pieces_;
  GeometryInputs built_;     // what the pieces were built from
  std::string builtPath_;
  std::string pathText_;     // the mesh path as last read
  ClothClock clock_;
  ClothForces forces_;
  bool everBuilt_ = false;
};

}  // namespace sim
