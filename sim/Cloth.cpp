#include "sim/Cloth.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/Choice.h"
#include "engine/FloatOperators.h"
#include "gfx/ConstantWriter.h"
#include "gfx/DeviceContext.h"
#include "gfx/FatalError.h"
#include "gfx/Texture.h"
#include "scene/Forces.h"
#include "scene/GBufferRenderer.h"
#include "scene/ModelReader.h"
#include "scene/ShadowCasters.h"

namespace sim {

namespace {

constexpr uint32_t kPositionFormat = format::RGBA32F;
constexpr uint32_t kPositionFlags = kTextureFlag | kUsageDefault | kBindShaderResource | kBindUnorderedAccess;
constexpr uint32_t kReadOnlyStructured = 0x40201;
constexpr float kMaxAcceleration = 10000.0f;
constexpr float kMaxCoordinate = 100000.0f;
constexpr uint32_t kMaxStepsAfterReset = 10000;

struct StateRecord {
  Float3 position;
  float inverseMass;
  Float3 previous;
  float pad;
};
static_assert(sizeof(StateRecord) == 32);

struct ShadingRecord {
  Float4 normalU;
  Float4 tangentV;
};

Texture* readOnlyBuffer(const void* data, uint32_t count, uint32_t stride) {
  if (!gDevice) return nullptr;
  // An empty list still gets one zero element, so every register has a buffer behind it.
  std::vector<uint8_t> zero;
  if (count == 0) {
    zero.assign(stride, 0);
    data = zero.data();
    count = 1;
  }
  TextureDesc desc;
  desc.flags = kReadOnlyStructured;
  desc.bitsPerPixel = stride * 8;
  desc.width = count;
  return createTexture(gDevice, desc, data);
}

// Where a world-space point or direction lies in the cloth's object space, and the factor
// by which lengths shrink there.
struct ObjectSpace {
  Float4x4 toObject;
  Float4x4 normalToObject;  // transpose of the world matrix: turns plane normals
  float scale = 1.0f;
  explicit ObjectSpace(const Float4x4& world) {
    toObject = mat::inverse(world);
    normalToObject = world.transposed();
    const Float4x4& m = toObject;
    const float det = m.at(0, 0) * (m.at(1, 1) * m.at(2, 2) - m.at(1, 2) * m.at(2, 1)) -
                      m.at(0, 1) * (m.at(1, 0) * m.at(2, 2) - m.at(1, 2) * m.at(2, 0)) +
                      m.at(0, 2) * (m.at(1, 0) * m.at(2, 1) - m.at(1, 1) * m.at(2, 0));
    scale = std::cbrt(std::fabs(det));
    if (!std::isfinite(scale) || scale <= 0.0f) scale = 1.0f;
  }
  Float3 point(Float3 p) const { return mat::transformPoint(p, toObject); }
  Float3 vector(Float3 v) const { return mat::transformVector(v, toObject); }
  Float3 normal(Float3 n) const {
    const Float3 o = normalize(mat::transformVector(n, normalToObject));
    return length(o) > 0.5f ? o : Float3{0.0f, 1.0f, 0.0f};
  }
};

float clampMagnitude(float v, float limit) { return clampFinite(v, -limit, limit, 0.0f); }

}  // namespace

// ---- piece ------------------------------------------------------------------------------------

ClothPiece::~ClothPiece() {
  for (Texture* t : {state[0], state[1], rest, springRanges, springs, faceRanges, faceList, triangles, restShading,
                     remap, positions, shading, scratch, indices})
    deleteTexture(t);
}

bool ClothPiece::create(const ClothGeometry& g) {
  if (!gDevice || g.simCount() == 0 || g.renderCount() == 0 || g.renderIndices.empty()) return false;
  simCount = g.simCount();
  renderCount = g.renderCount();
  std::copy(std::begin(g.mostSprings), std::end(g.mostSprings), mostSprings);
  clothGroupCounts(std::max(simCount, renderCount), groupsX, groupsY);
  if (uint64_t(groupsX) * groupsY * 256 < std::max(simCount, renderCount)) {
    logMessage("Cloth: a piece of %u vertices is more than one dispatch covers\n", std::max(simCount, renderCount));
    return false;
  }

  std::vector<StateRecord> states(simCount);
  for (uint32_t i = 0; i < simCount; ++i) states[i] = {g.positions[i], g.inverseMass[i], g.positions[i], 0.0f};
  rest = readOnlyBuffer(states.data(), simCount, 32);
  state[0] = createStructuredBuffer(simCount, 32, states.data());
  state[1] = createStructuredBuffer(simCount, 32, states.data());
  springRanges = readOnlyBuffer(g.springRanges.data(), simCount, 8);
  springs = readOnlyBuffer(g.springs.data(), uint32_t(g.springs.size()), 16);
  faceRanges = readOnlyBuffer(g.faceRanges.data(), simCount, 8);
  faceList = readOnlyBuffer(g.faceList.data(), uint32_t(g.faceList.size()), 4);
  std::vector<uint32_t> tris;
  for (size_t t = 0; t + 2 < g.triangles.size(); t += 3)
    tris.insert(tris.end(), {g.triangles[t], g.triangles[t + 1], g.triangles[t + 2], 0u});
  triangles = readOnlyBuffer(tris.data(), uint32_t(tris.size() / 4), 16);
  std::vector<ShadingRecord> shade(renderCount);
  for (uint32_t i = 0; i < renderCount; ++i) {
    const Float3 n = g.renderNormals[i], t = g.renderTangents[i];
    shade[i] = {{n.x, n.y, n.z, g.renderUvs[i].x}, {t.x, t.y, t.z, g.renderUvs[i].y}};
  }
  restShading = readOnlyBuffer(shade.data(), renderCount, 32);
  remap = readOnlyBuffer(g.remap.data(), renderCount, 4);
  shading = createStructuredBuffer(renderCount, 32, shade.data());
  scratch = createStructuredBuffer(simCount, 32);
  TextureDesc desc;
  desc.flags = kPositionFlags;
  desc.format = kPositionFormat;
  desc.width = groupsX * 16;
  desc.height = groupsY * 16;
  positions = createTexture(gDevice, desc, nullptr);

  TextureDesc index;
  index.flags = kMeshIndexBufferFlags;
  const uint32_t indexCount = uint32_t(g.renderIndices.size());
  index.width = indexCount;
  if (renderCount <= kMax16BitVertices) {
    std::vector<uint16_t> narrow(g.renderIndices.begin(), g.renderIndices.end());
    index.bitsPerPixel = 16;
    indices = createTexture(gDevice, index, narrow.data());
    drawRecord.indexFormat = DXGI_FORMAT_R16_UINT;
  } else {
    index.bitsPerPixel = 32;
    indices = createTexture(gDevice, index, g.renderIndices.data());
    drawRecord.indexFormat = DXGI_FORMAT_R32_UINT;
  }
  // The record the shadow passes draw: indices only, the position texture where a vertex
  // stream would be. The piece owns both.
  drawRecord.indexBuffer = indices;
  drawRecord.vertexBuffers[0] = positions;
  drawRecord.indexed = true;
  drawRecord.indexCount = indexCount;
  drawRecord.topology = D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST;
  drawRecord.ownedBuffers = 0;
  current = 0;
  return rest && state[0] && state[1] && springRanges && springs && faceRanges && faceList && triangles &&
         restShading && remap && shading && scratch && positions && indices;
}

void ClothPiece::restore() {
  if (!gDevice || !rest) return;
  gDevice->context()->copyResource(state[0], rest);
  gDevice->context()->copyResource(state[1], rest);
  current = 0;
}

// ---- solver -----------------------------------------------------------------------------------

bool ClothSolver::load(const std::string& path, bool meshEntries) {
  mesh_ = meshEntries;
  std::unique_ptr<ShaderProgram> a, b, c, d;
  bool ok = loadProgramFromFile(path.c_str(), EntryPoints::compute("CS"), a) &&
            loadProgramFromFile(path.c_str(), EntryPoints::compute("NT1CS"), b) &&
            loadProgramFromFile(path.c_str(), EntryPoints::compute("NT2CS"), c);
  if (ok && meshEntries) ok = loadProgramFromFile(path.c_str(), EntryPoints::compute("ApplyCS"), d);
  if (!ok) {
    logMessage("Cloth: could not load the simulation shader file %s\n", path.c_str());
    return loaded_;  // a program that loaded before stays
  }
  step_ = std::move(a);
  normals1_ = std::move(b);
  normals2_ = std::move(c);
  apply_ = std::move(d);
  loaded_ = true;
  return true;
}

void ClothSolver::setConstants(const ClothPiece& piece, const ClothForces& f, float h) {
  const float stretch = stableStiffness(f.stretch, h, piece.mostSprings[kSpringStretch]);
  const float shear = stableStiffness(f.shear, h, piece.mostSprings[kSpringShear]);
  const float bend = stableStiffness(f.bend, h, piece.mostSprings[kSpringBend]);
  const float aux = stableStiffness(f.aux, h, piece.mostSprings[kSpringAux]);
  Float4 colliders[kMaxForces] = {}, radii[kMaxForces] = {}, attractors[kMaxForces] = {}, shapes[kMaxForces] = {};
  Float4 boxEdges[3][kMaxForces] = {};
  const uint32_t colliderCount = uint32_t(std::min<size_t>(f.colliders.size(), kMaxForces));
  const uint32_t attractorCount = uint32_t(std::min<size_t>(f.attractors.size(), kMaxForces));
  for (uint32_t i = 0; i < colliderCount; ++i) {
    const ClothCollider& c = f.colliders[i];
    // w tells the kinds apart: 0 a sphere, 1 a box.
    colliders[i] = {c.centre.x, c.centre.y, c.centre.z, c.box ? 1.0f : 0.0f};
    radii[i] = {c.radius, 0.0f, 0.0f, 0.0f};
    for (int k = 0; k < 3; ++k) boxEdges[k][i] = {c.halfEdges[k].x, c.halfEdges[k].y, c.halfEdges[k].z, 0.0f};
  }
  for (uint32_t i = 0; i < attractorCount; ++i) {
    attractors[i] = f.attractors[i];
    shapes[i] = f.attractorShape[i];
  }
  for (ShaderProgram* p : {step_.get(), normals1_.get(), normals2_.get(), apply_.get()}) {
    ConstantWriter cb(p, "cloth", nullptr, 0, MapFailure::Skip);
    cb.set("threadCountX", piece.groupsX);
    cb.set("threadCountY", piece.groupsY);
    cb.set("vertexCount", piece.simCount);
    cb.set("renderVertexCount", piece.renderCount);
    cb.set("dt", h);
    cb.set("stretchForce", stretch);
    cb.set("shearForce", shear);
    cb.set("bendForce", bend);
    cb.set("auxForce", aux);
    cb.set("auxConnections", f.auxConnections);
    cb.set("gravityForce", Float4{f.gravity.x, f.gravity.y, f.gravity.z, 0.0f});
    cb.set("collideWithGround", uint32_t(f.collideWithGround ? 1 : 0));
    cb.set("groundPosition", Float4{f.groundPosition.x, f.groundPosition.y, f.groundPosition.z, 1.0f});
    cb.set("groundNormal", Float4{f.groundNormal.x, f.groundNormal.y, f.groundNormal.z, 0.0f});
    cb.set("damping", f.damping);
    cb.set("friction", f.friction);
    cb.set("collisionThreshold", f.collisionThreshold);
    cb.set("colliderCount", colliderCount);
    cb.set("attractorCount", attractorCount);
    cb.set("colliderPosition", colliders);
    cb.set("colliderRadius", radii);
    cb.set("colliderBoxX", boxEdges[0]);
    cb.set("colliderBoxY", boxEdges[1]);
    cb.set("colliderBoxZ", boxEdges[2]);
    cb.set("attractorPosition", attractors);
    cb.set("attractorRadiusStrength", shapes);
  }
}

void ClothSolver::bind(ShaderProgram& p, ClothPiece& piece) {
  Texture* const views[] = {piece.springRanges, piece.springs, piece.faceRanges, piece.faceList,
                            piece.triangles,    piece.restShading, piece.remap,  piece.rest};
  for (uint32_t i = 0; i < 8; ++i) p.setResource(5, i, views[i]);
  p.setUav(0, piece.state[piece.current]);
  p.setUav(1, piece.state[piece.current ^ 1]);
  p.setUav(2, piece.positions);
  p.setUav(3, piece.shading);
  p.setUav(4, piece.scratch);
}

void ClothSolver::simulate(ClothPiece& piece, const ClothForces& forces, float h, uint32_t steps) {
  if (!loaded_) return;
  setConstants(piece, forces, h);
  for (uint32_t i = 0; i < steps; ++i) {
    ConstantWriter(step_.get(), "cloth step", nullptr, 1, MapFailure::Skip).set("iteration", i);
    bind(*step_, piece);
    dispatch(step_.get(), piece.groupsX, piece.groupsY);
    piece.current ^= 1;
  }
  if (steps > 0) normalPasses(piece);
}

void ClothSolver::rebuildNormals(ClothPiece& piece, const ClothForces& forces, float h) {
  if (!loaded_) return;
  setConstants(piece, forces, h);
  normalPasses(piece);
}

void ClothSolver::prepare(ClothPiece& piece) {
  if (!loaded_) return;
  // A sub-step dispatch over no vertices: it changes nothing, and the pipeline of the
  // sub-step program is made now (while the production loads) rather than on the first
  // frame that simulates.
  ConstantWriter(step_.get(), "cloth step", nullptr, 0, MapFailure::Skip)
      .set("threadCountX", piece.groupsX)
      .set("vertexCount", 0u);
  bind(*step_, piece);
  dispatch(step_.get(), 1, 1);
}

void ClothSolver::normalPasses(ClothPiece& piece) {
  for (ShaderProgram* p : {normals1_.get(), normals2_.get(), apply_.get()}) {
    if (!p) continue;
    bind(*p, piece);
    dispatch(p, piece.groupsX, piece.groupsY);
  }
}

// ---- operators --------------------------------------------------------------------------------

const ParamDecl ClothOp::kParams[] = {
    param::text("Sdr Sim", "data//shaders//clothCS.hlsl"),
    param::text("Sdr Render", "data//shaders//clothVSPS.hlsl"),
    param::boolean("Update", true),
    param::boolean("Reset", false),
    param::integer("Sim Step After Reset", 0.0f),
    param::choice("Mesh Type", 0.0f, "Plane|Mesh"),
    param::text("Mesh path", ""),
    param::number("Plane.X", 0.0f),
    param::number("Plane.Y", 0.0f),
    param::number("Plane.Z", 0.0f),
    param::number("PlaneN.X", 0.0f),
    param::number("PlaneN.Y", 1.0f),
    param::number("PlaneN.Z", 0.0f),
    param::number("Plane W", 10.0f),
    param::number("Plane H", 10.0f),
    param::integer("Plane W Divisions", 62.0f),
    param::integer("Plane H Divisions", 62.0f),
    param::number("Stretch", 15000.0f),
    param::number("Shear", 10000.0f),
    param::number("Bend", 10000.0f),
    param::number("Damping", 20.0f),
    param::number("Friction", 0.5f),
    param::number("Steps Per Second", 600.0f),
    param::number("Gravity.X", 0.0f),
    param::number("Gravity.Y", -100.0f),
    param::number("Gravity.Z", 0.0f),
    param::boolean("Collide With Ground", false),
    param::number("Ground.X", 0.0f),
    param::number("Ground.Y", -5.0f),
    param::number("Ground.Z", 0.0f),
    param::number("GroundN.X", 0.0f),
    param::number("GroundN.Y", 1.0f),
    param::number("GroundN.Z", 0.0f),
    param::boolean("BackFace Cull", false),
    param::boolean("Cast Shadows", true),
    param::scene("Attractors", PortFlagMulti),
    param::scene("Colliders", PortFlagMulti),
    param::number("CollisionThreshold", 0.0001f),
};
static_assert(std::size(ClothOp::kParams) == ClothOp::Count);

const ParamDecl ClothMeshOp::kParams[] = {
    param::text("Sdr Sim", "data//shaders//clothMeshCS.hlsl"),
    param::text("Sdr Render", "data//shaders//clothMeshVSPS.hlsl"),
    param::boolean("Update", true),
    param::boolean("Reset", false),
    param::text("Mesh path", ""),
    param::number("Stretch Force", 150000.0f),
    param::number("Aux Force", 100000.0f),
    param::choice("Aux Connections", 0.0f, "None|Center|Box|Center+Box|Box Bottom"),
    param::boolean("Freeze Aux Vertices", false),
    param::number("Damping", 20.0f),
    param::number("Friction", 0.5f),
    param::number("Steps Per Second", 1800.0f),
    param::number("Gravity.X", 0.0f),
    param::number("Gravity.Y", -100.0f),
    param::number("Gravity.Z", 0.0f),
    param::boolean("Collide With Ground", false),
    param::number("Ground.X", 0.0f),
    param::number("Ground.Y", -5.0f),
    param::number("Ground.Z", 0.0f),
    param::number("GroundN.X", 0.0f),
    param::number("GroundN.Y", 1.0f),
    param::number("GroundN.Z", 0.0f),
    param::boolean("BackFace Cull", false),
    param::boolean("Cast Shadows", true),
    param::scene("Attractors", PortFlagMulti),
    param::scene("Colliders", PortFlagMulti),
    param::number("CollisionThreshold", 0.0001f),
};
static_assert(std::size(ClothMeshOp::kParams) == ClothMeshOp::Count);

ClothOp::ClothOp() : Operator(CategoryGeometry) {
  declareInputs(kParams);
  addOutput("SceneOut", PortType::Scene, std::make_unique<ClothFunction>(false));
  linkOutput();
}

ClothMeshOp::ClothMeshOp() : Operator(CategoryGeometry) {
  declareInputs(kParams);
  addOutput("SceneOut", PortType::Scene, std::make_unique<ClothFunction>(true));
  linkOutput();
}

// Input numbers of one operator; kNone where it has no such input.
struct ClothFunction::Inputs {
  static constexpr size_t kNone = size_t(-1);
  size_t sdrSim, sdrRender, update, reset, stepsAfterReset = kNone, meshType = kNone, meshPath;
  size_t plane = kNone, planeN = kNone, planeW = kNone, planeH = kNone, divW = kNone, divH = kNone;
  size_t stretch, shear = kNone, bend = kNone, aux = kNone, auxConnections = kNone, freezeAux = kNone;
  size_t damping, friction, stepsPerSecond, gravity, collideWithGround, ground, groundN;
  size_t backFaceCull, castShadows, attractors, colliders, collisionThreshold;
};

namespace {

ClothFunction::Inputs* planeInputs() {
  static ClothFunction::Inputs in = [] {
    ClothFunction::Inputs i;
    i.sdrSim = ClothOp::SdrSim, i.sdrRender = ClothOp::SdrRender, i.update = ClothOp::Update;
    i.reset = ClothOp::Reset, i.stepsAfterReset = ClothOp::SimStepAfterReset, i.meshType = ClothOp::MeshType;
    i.meshPath = ClothOp::MeshPath, i.plane = ClothOp::PlaneX, i.planeN = ClothOp::PlaneNX;
    i.planeW = ClothOp::PlaneW, i.planeH = ClothOp::PlaneH, i.divW = ClothOp::PlaneWDivisions;
    i.divH = ClothOp::PlaneHDivisions, i.stretch = ClothOp::Stretch, i.shear = ClothOp::Shear;
    i.bend = ClothOp::Bend, i.damping = ClothOp::Damping, i.friction = ClothOp::Friction;
    i.stepsPerSecond = ClothOp::StepsPerSecond, i.gravity = ClothOp::GravityX;
    i.collideWithGround = ClothOp::CollideWithGround, i.ground = ClothOp::GroundX, i.groundN = ClothOp::GroundNX;
    i.backFaceCull = ClothOp::BackFaceCull, i.castShadows = ClothOp::CastShadows;
    i.attractors = ClothOp::Attractors, i.colliders = ClothOp::Colliders;
    i.collisionThreshold = ClothOp::CollisionThreshold;
    return i;
  }();
  return &in;
}

ClothFunction::Inputs* meshInputs() {
  static ClothFunction::Inputs in = [] {
    ClothFunction::Inputs i;
    i.sdrSim = ClothMeshOp::SdrSim, i.sdrRender = ClothMeshOp::SdrRender, i.update = ClothMeshOp::Update;
    i.reset = ClothMeshOp::Reset, i.meshPath = ClothMeshOp::MeshPath, i.stretch = ClothMeshOp::StretchForce;
    i.aux = ClothMeshOp::AuxForce, i.auxConnections = ClothMeshOp::AuxConnectionsIn;
    i.freezeAux = ClothMeshOp::FreezeAuxVertices, i.damping = ClothMeshOp::Damping;
    i.friction = ClothMeshOp::Friction, i.stepsPerSecond = ClothMeshOp::StepsPerSecond;
    i.gravity = ClothMeshOp::GravityX, i.collideWithGround = ClothMeshOp::CollideWithGround;
    i.ground = ClothMeshOp::GroundX, i.groundN = ClothMeshOp::GroundNX, i.backFaceCull = ClothMeshOp::BackFaceCull;
    i.castShadows = ClothMeshOp::CastShadows, i.attractors = ClothMeshOp::Attractors;
    i.colliders = ClothMeshOp::Colliders, i.collisionThreshold = ClothMeshOp::CollisionThreshold;
    return i;
  }();
  return &in;
}

std::vector<float> defaultsOf(bool mesh) {
  return mesh ? tableDefaults(ClothMeshOp::kParams) : tableDefaults(ClothOp::kParams);
}

}  // namespace

ClothFunction::ClothFunction(bool meshOperator)
    : mesh_(meshOperator), params_(defaultsOf(meshOperator).data(), defaultsOf(meshOperator).size()) {}

ClothFunction::~ClothFunction() = default;

bool ClothFunction::rebuild(const GeometryInputs& in, const std::string& path) {
  // Rebuilt when anything the geometry is made from changed. The comparison allocates
  // nothing, so an unchanged cloth costs no heap work per frame.
  const bool fromFile = mesh_ || choiceIndex(in.values[0]) == 1;
  bool same = everBuilt_ && std::memcmp(in.values, built_.values, sizeof in.values) == 0;
  if (fromFile) same = same && path == builtPath_;
  if (same) return false;
  built_ = in;
  if (fromFile && path != builtPath_) builtPath_ = path;
  everBuilt_ = true;
  pieces_.clear();
  std::vector<ClothGeometry> geometries;
  if (!fromFile) {
    const Float3 centre{in.values[1], in.values[2], in.values[3]}, normal{in.values[4], in.values[5], in.values[6]};
    geometries.push_back(buildPlaneCloth(centre, normal, in.values[7], in.values[8],
                                         planeVerticesPerSide(in.values[9]), planeVerticesPerSide(in.values[15])));
  } else if (!builtPath_.empty()) {
    std::vector<ModelPart> parts;
    std::string error;
    if (!readModelFile(builtPath_, ModelReadOptions{}, parts, &error)) {
      logMessage("Cloth: cannot read mesh file %s: %s\n", builtPath_.c_str(), error.c_str());
    }
    const AuxConnections aux = mesh_ ? AuxConnections(uint32_t(std::clamp(in.values[10], 0.0f, 4.0f))) : kAuxNone;
    for (const ModelPart& part : parts)
      geometries.push_back(buildMeshCloth(part.vertices, part.indices, part.transform, !mesh_, aux, in.values[11] > 0.01f));
  }
  for (const ClothGeometry& g : geometries) {
    auto piece = std::make_unique<ClothPiece>();
    if (piece->create(g)) pieces_.push_back(std::move(piece));
    else if (g.simCount() > 0) logMessage("Cloth: could not create a piece of %s\n", fromFile ? builtPath_.c_str() : "the plane");
  }
  return true;
}

void ClothFunction::readForces(const std::vector<Port*>& sources, float t, Context& ctx, const Inputs& in, float h) {
  (void)h;
  ClothForces& f = forces_;
  auto read = [&](size_t input) { return params_.read(sources, input, t, ctx); };
  auto force = [&](size_t input) { return input == Inputs::kNone ? 0.0f : read(input); };
  f.stretch = force(in.stretch);
  f.shear = force(in.shear);
  f.bend = force(in.bend);
  f.aux = force(in.aux);
  f.auxConnections = in.auxConnections == Inputs::kNone ? 0u : uint32_t(std::clamp(read(in.auxConnections), 0.0f, 4.0f));
  f.damping = clampFinite(read(in.damping), 0.0f, 1.0e6f, 20.0f);
  f.friction = clampFinite(read(in.friction), 0.0f, 1.0f, 0.5f);
  const ObjectSpace space(ctx.world);
  const Float3 gravity{clampMagnitude(read(in.gravity), kMaxAcceleration), clampMagnitude(read(in.gravity + 1), kMaxAcceleration),
                       clampMagnitude(read(in.gravity + 2), kMaxAcceleration)};
  f.gravity = space.vector(gravity);
  f.collideWithGround = read(in.collideWithGround) > 0.01f;
  const Float3 ground{clampMagnitude(read(in.ground), kMaxCoordinate), clampMagnitude(read(in.ground + 1), kMaxCoordinate),
                      clampMagnitude(read(in.ground + 2), kMaxCoordinate)};
  const Float3 groundN{read(in.groundN), read(in.groundN + 1), read(in.groundN + 2)};
  f.groundPosition = space.point(ground);
  f.groundNormal = space.normal(length(groundN) > 1e-6f ? groundN : Float3{0.0f, 1.0f, 0.0f});

  // The forces of this evaluation: the records in the lists once the connected operators
  // have added theirs (a "Collider" placed elsewhere in the scene and drawn earlier counts
  // too), at most 32 of each in list order; the lists are emptied after reading.
  evaluateEveryConnection(sources, in.attractors, t, ctx);
  evaluateEveryConnection(sources, in.colliders, t, ctx);
  f.colliders.clear();
  f.attractors.clear();
  f.attractorShape.clear();
  // Spheres and boxes alike: the first 32 records in list order, whatever their kind. A record
  // that is not usable (a centre at infinity) still takes its place and acts on nothing.
  const size_t taken = std::min<size_t>(colliders().size(), ClothSolver::kMaxForces);
  for (size_t i = 0; i < taken; ++i) {
    const ColliderRecord& c = colliders()[i];
    ClothCollider o;
    o.centre = space.point({c.position.x, c.position.y, c.position.z});
    if (c.type == kColliderBox) {
      // The box's axes turned by its rotation (degrees, as every scene rotation), each scaled
      // by half its size, then taken into the cloth's space.
      o.box = true;
      const Float3 degrees{clampMagnitude(c.rotation.x, 1.0e6f), clampMagnitude(c.rotation.y, 1.0e6f),
                           clampMagnitude(c.rotation.z, 1.0e6f)};
      const Float4x4 turn = mat::rotationEulerDegrees(degrees);
      const float half[3] = {clampFinite(c.size.x, 0.0f, kMaxCoordinate, 0.0f) * 0.5f,
                             clampFinite(c.size.y, 0.0f, kMaxCoordinate, 0.0f) * 0.5f,
                             clampFinite(c.size.z, 0.0f, kMaxCoordinate, 0.0f) * 0.5f};
      for (int k = 0; k < 3; ++k) o.halfEdges[k] = space.vector(turn.row3(k) * half[k]);
    } else {
      o.radius = clampFinite(c.radius, 0.0f, kMaxCoordinate, 0.0f) * space.scale;
    }
    if (!std::isfinite(o.centre.x + o.centre.y + o.centre.z)) {
      o = ClothCollider{};
      o.radius = -2.0f * kMaxCoordinate;  // a sphere nothing can be inside
    }
    f.colliders.push_back(o);
  }
  for (const AttractorRecord& a : attractors()) {
    if (f.attractors.size() >= ClothSolver::kMaxForces) break;
    const Float3 centre = space.point({a.now.position.x, a.now.position.y, a.now.position.z});
    const float radius = clampFinite(a.now.radius, 0.0f, kMaxCoordinate, 0.0f) * space.scale;
    const float strength = clampMagnitude(a.now.power, kMaxAcceleration) * space.scale;
    if (!std::isfinite(centre.x + centre.y + centre.z)) continue;
    f.attractors.push_back({centre.x, centre.y, centre.z, 1.0f});
    f.attractorShape.push_back({radius, strength, 0.0f, 0.0f});
  }
  clearAttractors();
  clearColliders();
  f.collisionThreshold = clampFinite(read(in.collisionThreshold), 0.0f, 1000.0f, 0.0001f) * space.scale;
}

void ClothFunction::evaluate(float t, const std::vector<Port*>& sources, Context& ctx) {
  const Inputs& in = mesh_ ? *meshInputs() : *planeInputs();
  auto read = [&](size_t input) { return params_.read(sources, input, t, ctx); };

  // Texts are compared where they lie (the Context's text result) and copied only when they
  // changed: nothing is allocated per frame.
  const std::string& simPath = evalText(sources, in.sdrSim, t, ctx);
  if (simPath != simPath_ && gDevice) {
    simPath_ = simPath;
    solver_.load(simPath_, mesh_);
  }
  const std::string& renderPath = evalText(sources, in.sdrRender, t, ctx);
  if (renderPath != renderPath_ && gDevice) {
    renderPath_ = renderPath;
    if (!loadProgramFromFile(renderPath_.c_str(), EntryPoints::vsps("VS", "PS"), render_))
      logMessage("Cloth: could not load the render shader file %s\n", renderPath_.c_str());
    else
      checkObjectConstants(render_.get(), renderPath_.c_str(), ObjectBlockUse::Whole);
  }

  const std::string& meshPath = evalText(sources, in.meshPath, t, ctx);
  if (meshPath != pathText_) pathText_ = meshPath;
  GeometryInputs geometry;
  if (!mesh_) {
    geometry.values[0] = read(in.meshType);
    for (int i = 0; i < 3; ++i) geometry.values[1 + i] = clampMagnitude(read(in.plane + i), kMaxCoordinate);
    for (int i = 0; i < 3; ++i) geometry.values[4 + i] = read(in.planeN + i);
    geometry.values[7] = clampFinite(read(in.planeW), -kMaxCoordinate, kMaxCoordinate, 10.0f);
    geometry.values[8] = clampFinite(read(in.planeH), -kMaxCoordinate, kMaxCoordinate, 10.0f);
    geometry.values[9] = read(in.divW);
    geometry.values[15] = read(in.divH);
  } else {
    geometry.values[10] = read(in.auxConnections);
    geometry.values[11] = read(in.freezeAux);
  }
  const bool rebuilt = gDevice && rebuild(geometry, pathText_);

  const float h = ClothClock::stepLength(read(in.stepsPerSecond));
  const bool reset = read(in.reset) > 0.01f;
  const bool update = read(in.update) > 0.01f;
  lastSubSteps = 0;
  if (rebuilt) {
    // A new shape starts from rest; the frame still simulates like any other.
    for (auto& piece : pieces_) {
      piece->restore();
      solver_.prepare(*piece);
    }
  }
  if (reset) {
    for (auto& piece : pieces_) piece->restore();
    clock_.restart(t);
    uint32_t after = 0;
    if (in.stepsAfterReset != Inputs::kNone) {
      const float n = read(in.stepsAfterReset);
      after = n > 0.0f ? uint32_t(std::min(n, float(kMaxStepsAfterReset))) : 0u;
    }
    if (after > 0) readForces(sources, t, ctx, in, h);
    for (auto& piece : pieces_) {
      if (after > 0) solver_.simulate(*piece, forces_, h, after);
      else solver_.rebuildNormals(*piece, forces_, h);
    }
    lastSubSteps = after;
  } else if (update) {
    const uint32_t steps = clock_.advance(t, read(in.stepsPerSecond));
    readForces(sources, t, ctx, in, h);
    for (auto& piece : pieces_) solver_.simulate(*piece, forces_, h, steps);
    lastSubSteps = steps;
  }
  // A new shape that took no sub-step still needs its positions and normals drawn from rest.
  if (rebuilt && lastSubSteps == 0)
    for (auto& piece : pieces_) solver_.rebuildNormals(*piece, forces_, h);

  const bool backFaceCull = read(in.backFaceCull) > 0.01f;
  const bool castShadows = read(in.castShadows) > 0.01f;
  draw(ctx, backFaceCull, castShadows);
}

void ClothFunction::draw(Context& ctx, bool backFaceCull, bool castShadows) {
  GBufferRenderer* renderer = ctx.gbufferRenderer;
  if (!render_ || !renderer || !ctx.scenePass || !gDevice) return;
  RenderStateDesc state = gbufferRenderState();
  if (backFaceCull) state.flags |= kCullBack;
  else state.flags &= ~uint32_t(kCullBack);
  render_->state = gDevice->stateFor(state);
  DeviceContext* dc = gDevice->context();
  for (auto& piece : pieces_) {
    bindRenderPass(gDevice, *ctx.scenePass);
    renderer->bindMaterialTextures(render_.get(), ctx);
    renderer->setObjectConstants(render_.get(), ctx);
    render_->setResource(0, 8, piece->positions);
    render_->setResource(0, 9, piece->shading);
    bindProgram(render_.get());
    dc->setInputLayout(nullptr);
    dc->setIndexBuffer(piece->indices, piece->drawRecord.indexFormat, 0);
    dc->setPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    dc->drawIndexed(piece->drawRecord.indexCount, 0, 0);
    unbindResources(render_.get());
    unbindRenderTargets(gDevice);
    if (castShadows) AddShadowCaster(&piece->drawRecord, ctx.world, kCasterCloth, 0);
  }
}

}  // namespace sim
