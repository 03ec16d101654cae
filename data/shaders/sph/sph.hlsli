// Shared definitions of the fluid programs: the particle and key records, the voxel grid,
// the smoothing kernels and the physical constants. The simulation takes no constants from
// the CPU: everything it needs is here.
//
// Space: the fluid lives in its own box, x and z in [-1, 1], y in [0, 1] (the operator's
// world matrix places the box in the scene). The box is cut into 32 x 16 x 32 voxels whose
// edge is the smoothing length h, so all neighbours of a particle lie in the 3 x 3 x 3
// voxels around its own. There are four particles per voxel: at rest the fluid fills the
// lower half of the box.
//
// The grid size may be set before including (tests build a smaller fluid with the same
// physics); the box then keeps h and shrinks with the grid.
#ifndef SPH_SPH_HLSLI
#define SPH_SPH_HLSLI

#ifndef GRID_X
#define GRID_X 32
#define GRID_Y 16
#define GRID_Z 32
#endif
#define VOXELS (GRID_X * GRID_Y * GRID_Z)
#define SPH_PARTICLES (4 * VOXELS)
#define SPH_GROUP 1024

static const float kH = 0.0625;                 // smoothing length = voxel edge
static const float3 kBoxMin = float3(-0.5 * GRID_X * kH, 0.0, -0.5 * GRID_Z * kH);
static const float3 kBoxMax = float3(0.5 * GRID_X * kH, GRID_Y * kH, 0.5 * GRID_Z * kH);
static const float kSpacing = kH * 0.5;         // particle spacing of the rest lattice
static const float kRestDensity = 1000.0;
// The mass that makes the poly6 sum over the rest lattice exactly the rest density.
static const float kMass = 0.0302222;
// The fluid's clock is the frame count (one step per evaluation), so these set what a span
// of frames shows. Earth's gravity in a box one unit high makes a released block collapse in
// about 100 steps; the sound speed is as high as the step allows (c x step = 0.45 h) and
// keeps the column's weight from squeezing it by more than about 14% at the bottom.
static const float kSoundSpeed = 7.0;           // stiffness of the equation of state
static const float kPressureB = kRestDensity * kSoundSpeed * kSoundSpeed / 7.0;
static const float kViscosity = 30.0;           // dynamic viscosity
static const float3 kGravity = float3(0.0, -9.81, 0.0);
static const float kTimeStep = 0.004;
// No particle moves more than half a smoothing length in a step.
static const float kMaxSpeed = 0.5 * kH / kTimeStep;
static const float kWallBounce = 0.3;           // normal speed kept when a particle meets a wall
// Walls push back on particles nearer than half a particle spacing, like a spring (stiff
// enough to carry the column, soft enough for the step) with damping of the speed towards
// the wall: particles rest on a wall instead of being stacked onto its plane, which packs
// them far above the rest density and blows the fluid apart.
static const float kWallRange = 0.5 * kSpacing;
static const float kWallStiffness = 0.25 / (kTimeStep * kTimeStep);
static const float kWallDamping = 0.5 / kTimeStep;

static const float kPi = 3.14159265;
static const float kPoly6 = 315.0 / (64.0 * kPi * kH * kH * kH * kH * kH * kH * kH * kH * kH);
static const float kSpikyGrad = -45.0 / (kPi * kH * kH * kH * kH * kH * kH);
static const float kViscLap = 45.0 / (kPi * kH * kH * kH * kH * kH * kH);

// 32 bytes. density is the last density computed for the particle (for drawing).
struct FluidParticle
{
    float3 position;
    float density;
    float3 velocity;
    float speed;
};

// 8 bytes: the voxel of a particle and its index in the particle buffer. Sorting by both
// (voxel first) gives one deterministic order.
struct VoxelKey
{
    uint voxel;
    uint index;
};

// The neighbours the density pass hands to the acceleration pass, a record of
// NEIGHBOUR_RECORD uints for each sorted particle: the number of its neighbours (the
// particles within the smoothing length, itself left out), or NOT_LISTED; a mask of which of
// the 18 words below hold any; then for each of the nine voxel rows around it (see rowRange)
// the row's first sorted index and a 64-bit mask, as two uints, of its neighbours in the row,
// bit k for the row's k-th particle. Visiting the set bits from the lowest word and bit meets
// the neighbours in the order of the voxel scan. A particle with a row longer than ROW_LIMIT
// is NOT_LISTED: the acceleration pass scans its voxels again.
#define NEIGHBOUR_RECORD 29  // FluidSimulation::kNeighbourRecord
#define NOT_LISTED 0xffffffffu
#ifndef ROW_LIMIT
#define ROW_LIMIT 64
#endif

bool finite3(float3 v)
{
    return all(abs(v) <= 3.0e38);
}

int3 voxelOf(float3 p)
{
    int3 v = int3(floor((p - kBoxMin) / kH));
    return clamp(v, int3(0, 0, 0), int3(GRID_X - 1, GRID_Y - 1, GRID_Z - 1));
}

uint voxelKey(int3 v)
{
    return uint(v.x + GRID_X * (v.y + GRID_Y * v.z));
}

int3 voxelCoords(uint key)
{
    return int3(key % GRID_X, (key / GRID_X) % GRID_Y, key / (GRID_X * GRID_Y));
}

float poly6(float r2)
{
    float d = kH * kH - r2;
    return d > 0.0 ? kPoly6 * d * d * d : 0.0;
}

// Pressure from density (Tait's equation, exponent 7); never negative, so a free surface
// does not pull particles into clumps. The density ratio counts up to kMaxCompression: past
// it the equation grows so stiff (the seventh power) that a splash against a wall would
// outrun the fixed step, so the pressure stops growing there.
static const float kMaxCompression = 1.3;

float pressureOf(float density)
{
    float ratio = min(density / kRestDensity, kMaxCompression);
    float r2 = ratio * ratio;
    float r7 = r2 * r2 * r2 * ratio;
    return max(kPressureB * (r7 - 1.0), 0.0);
}

// Where particle `index` starts after a reset: a block filling the half x < 0 of the box,
// GRID_X x 2 GRID_Y x 2 GRID_Z points on the rest lattice across, its layers packed closer
// towards the bottom as the weight above them compresses the fluid (Tait's equation under
// the hydrostatic pressure). Released already carrying its own weight, the block does not
// first sink and bounce on its own compression: it starts to collapse at once. Each particle
// is nudged a little so the block does not stay symmetric.
float initialHeight(float u)
{
    // u: the height on the uncompressed lattice, from 0 at the floor to `top`. The density at
    // u is rho0 (1 + a (top - u))^(1/7) with a = rho0 g / B; heights shrink by rho0 / rho,
    // integrated in closed form.
    float top = 2.0 * GRID_Y * kSpacing;
    float a = kRestDensity * abs(kGravity.y) / kPressureB;
    return (7.0 / (6.0 * a)) * (pow(1.0 + a * top, 6.0 / 7.0) - pow(1.0 + a * (top - u), 6.0 / 7.0));
}

float3 initialPosition(uint index)
{
    uint x = index % GRID_X, y = (index / GRID_X) % (2 * GRID_Y), z = index / (GRID_X * 2 * GRID_Y);
    float3 p = kBoxMin + (float3(x, y, z) + 0.5) * kSpacing;
    p.y = kBoxMin.y + initialHeight((y + 0.5) * kSpacing);
    uint h = index * 747796405u + 2891336453u;
    h = ((h >> ((h >> 28u) + 4u)) ^ h) * 277803737u;
    float3 jitter = float3(h & 255u, (h >> 8) & 255u, (h >> 16) & 255u) / 255.0 - 0.5;
    return p + jitter * (0.1 * kSpacing);
}

#endif
