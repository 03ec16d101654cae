// What the cloth simulation files share: the state and shading records, the buffers, the
// constants common to both, and one sub-step of the mass-spring model.
//
// A file includes this, defines its b0 buffer as
//     cbuffer ClothConstants : register(b0) { CLOTH_CONSTANTS <its own force constants> };
// and `float springConstant(uint kind)`, then includes clothStep.hlsli.
//
// Thread layout: groups of 16 x 16 threads, threadCountX x threadCountY groups; thread (x, y)
// handles vertex y * (threadCountX * 16) + x, whose position lands at texel (x, y) of the
// position texture (so vertex i is texel (i mod width, i div width)).
#ifndef CLOTH_COMMON_HLSLI
#define CLOTH_COMMON_HLSLI

#define CLOTH_MAX_FORCES 32

#define CLOTH_CONSTANTS                                                                   \
    uint threadCountX;                                                                    \
    uint threadCountY;                                                                    \
    uint vertexCount;        /* simulation vertices */                                    \
    float dt;                /* sub-step, seconds */                                      \
    float4 gravityForce;     /* xyz acceleration */                                       \
    float4 groundPosition;   /* xyz a point of the ground plane */                        \
    float4 groundNormal;     /* xyz its normal (unit) */                                  \
    uint collideWithGround;                                                               \
    float damping;           /* per second: speed lost to the air */                      \
    float friction;          /* [0, 1]: share of sliding stopped on contact */            \
    float collisionThreshold;/* distance kept from ground and colliders */                \
    uint colliderCount;                                                                   \
    uint attractorCount;                                                                  \
    uint renderVertexCount;                                                               \
    float padding;                                                                        \
    float4 colliderPosition[CLOTH_MAX_FORCES];        /* xyz centre, w 0 sphere 1 box */  \
    float4 colliderRadius[CLOTH_MAX_FORCES];          /* x radius of a sphere */          \
    float4 attractorPosition[CLOTH_MAX_FORCES];       /* xyz centre */                    \
    float4 attractorRadiusStrength[CLOTH_MAX_FORCES]; /* x radius, y strength */          \
    float4 colliderBoxX[CLOTH_MAX_FORCES];            /* xyz a box's half-edge vectors */ \
    float4 colliderBoxY[CLOTH_MAX_FORCES];                                                \
    float4 colliderBoxZ[CLOTH_MAX_FORCES];

// 32 bytes: where a vertex is, where it was one sub-step ago (Verlet: the difference is its
// velocity), and its inverse mass (0: pinned).
struct ClothState
{
    float3 position;
    float inverseMass;
    float3 previous;
    float pad;
};

// 32 bytes per render vertex: normal with u in w, tangent with v in w.
struct ClothShading
{
    float4 normalU;
    float4 tangentV;
};

struct ClothScratch
{
    float4 position;
    float4 normal;
};

cbuffer ClothStep : register(b1)
{
    uint iteration;  // sub-step number within this evaluation, from 0
};

StructuredBuffer<uint2> gSpringRanges : register(t0);  // first, count per vertex
StructuredBuffer<uint4> gSprings : register(t1);       // other vertex, rest length (bits), kind
StructuredBuffer<uint2> gFaceRanges : register(t2);
StructuredBuffer<uint> gFaceList : register(t3);
StructuredBuffer<uint4> gTriangles : register(t4);
StructuredBuffer<ClothShading> gRestShading : register(t5);
StructuredBuffer<uint> gRemap : register(t6);
StructuredBuffer<ClothState> gRest : register(t7);

RWStructuredBuffer<ClothState> gCurrent : register(u0);
RWStructuredBuffer<ClothState> gNext : register(u1);
RWTexture2D<float4> gPositions : register(u2);
RWStructuredBuffer<ClothShading> gShading : register(u3);
RWStructuredBuffer<ClothScratch> gScratch : register(u4);

#define SPRING_STRETCH 0
#define SPRING_SHEAR 1
#define SPRING_BEND 2
#define SPRING_AUX 3

static const float kStrainLimit = 0.1;       // springs of the limited kinds stretch 10% at most
static const float kMaxClothSpeed = 1000.0;  // world units per second
static const float kClothBound = 100000.0;
static const float kAttractorAcceleration = 100.0;  // at the centre of an attractor of strength 1

#endif
