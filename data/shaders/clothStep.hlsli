// The functions of the cloth simulation files, included after the file's b0 buffer and its
// springConstant(kind) (see clothCommon.hlsli).
#ifndef CLOTH_STEP_HLSLI
#define CLOTH_STEP_HLSLI

#include "clothCommon.hlsli"

uint vertexIndex(uint3 id)
{
    return id.y * threadCountX * 16 + id.x;
}

uint2 texelOf(uint index)
{
    uint width = threadCountX * 16;
    return uint2(index % width, index / width);
}

bool finite3(float3 v)
{
    return all(abs(v) <= 3.0e38);
}

// Friction: of the motion along the surface this sub-step, `friction` is taken away.
float3 rub(float3 moved, float3 normal)
{
    float3 along = moved - normal * dot(moved, normal);
    return along * friction;
}

// Puts x outside box collider c, grown by the collision threshold: a point inside leaves
// through the nearest face, then loses the friction share of its sliding along that face.
// A box with an edge of no length is flat and holds nothing.
float3 collideBox(float3 x, float3 from, uint c)
{
    float3 edges[3] = {colliderBoxX[c].xyz, colliderBoxY[c].xyz, colliderBoxZ[c].xyz};
    float3 v = x - colliderPosition[c].xyz;
    float nearest = 3.0e38;
    float3 push = float3(0.0, 0.0, 0.0);
    float3 normal = float3(0.0, 1.0, 0.0);
    [unroll] for (uint k = 0; k < 3; ++k)
    {
        float half = length(edges[k]);
        if (!(half > 1.0e-6))
            return x;
        float3 axis = edges[k] / half;
        float along = dot(v, axis);
        float depth = half + collisionThreshold - abs(along);
        if (depth <= 0.0)
            return x;  // outside this pair of faces: outside the box
        if (depth < nearest)
        {
            nearest = depth;
            normal = along >= 0.0 ? axis : -axis;
            push = normal * depth;
        }
    }
    x += push;
    x -= rub(x - from, normal);
    // (What friction takes away lies along the face: the vertex stays outside.)
    return x;
}

// Puts x outside the ground and the colliders; `from` is where the vertex started the step.
float3 collide(float3 x, float3 from)
{
    // Tested together with the vertex's own distance: no branch on the constants alone.
    float d = dot(x - groundPosition.xyz, groundNormal.xyz) - collisionThreshold;
    if (collideWithGround != 0 && d < 0.0)
    {
        x -= groundNormal.xyz * d;
        x -= rub(x - from, groundNormal.xyz);
    }
    uint colliders = min(colliderCount, CLOTH_MAX_FORCES);
    for (uint c = 0; c < colliders; ++c)
    {
        if (colliderPosition[c].w > 0.5)
        {
            x = collideBox(x, from, c);
            continue;
        }
        float3 v = x - colliderPosition[c].xyz;
        float r = colliderRadius[c].x + collisionThreshold;
        float dist = length(v);
        if (dist < r)
        {
            float3 n = dist > 1.0e-6 ? v / dist : float3(0.0, 1.0, 0.0);
            x = colliderPosition[c].xyz + n * r;
            x -= rub(x - from, n);
            // The friction may not carry the vertex back inside.
            float back = length(x - colliderPosition[c].xyz);
            if (back < r)
                x = colliderPosition[c].xyz + (x - colliderPosition[c].xyz) * (r / max(back, 1.0e-6));
        }
    }
    return x;
}

float3 attraction(float3 x)
{
    float3 a = float3(0.0, 0.0, 0.0);
    uint count = min(attractorCount, CLOTH_MAX_FORCES);
    for (uint k = 0; k < count; ++k)
    {
        float3 d = attractorPosition[k].xyz - x;
        float dist = length(d);
        float radius = attractorRadiusStrength[k].x;
        if (dist < radius && dist > 1.0e-6)
            a += d / dist * (attractorRadiusStrength[k].y * kAttractorAcceleration * (1.0 - dist / radius));
    }
    return a;
}

// Which kinds are held to the strain limit this sub-step: stretch always, shear on every
// other sub-step (a shear-locked cloth looks starched).
bool strainLimited(uint kind)
{
    return kind == SPRING_STRETCH || (kind == SPRING_SHEAR && (iteration & 1u) == 1u);
}

// One sub-step of vertex i: springs (Hooke), gravity, attractors and air damping integrated
// semi-implicitly, then the stretch held to the strain limit against the neighbours and the
// collisions resolved with friction. Reads gCurrent, writes gNext.
void clothSubStep(uint i)
{
    ClothState s = gCurrent[i];
    if (!finite3(s.position) || !finite3(s.previous))
        s = gRest[i];
    if (s.inverseMass <= 0.0)
    {
        s.previous = s.position;
        gNext[i] = s;
        return;
    }
    float3 x = s.position;
    float3 force = float3(0.0, 0.0, 0.0);
    uint2 range = gSpringRanges[i];
    for (uint k = 0; k < range.y; ++k)
    {
        uint4 spring = gSprings[range.x + k];
        float3 d = gCurrent[spring.x].position - x;
        float len = length(d);
        if (len > 1.0e-9)
            force += d * (springConstant(spring.z) * (len - asfloat(spring.y)) / len);
    }
    float3 a = gravityForce.xyz + attraction(x) + force * s.inverseMass;
    float3 v = (x - s.previous) / dt;
    v = v * saturate(1.0 - damping * dt) + a * dt;
    float speed = length(v);
    if (speed > kMaxClothSpeed)
        v *= kMaxClothSpeed / speed;
    float3 next = x + v * dt;

    // Strain limit: each end takes back half of what a limited spring is over its limit.
    float3 pull = float3(0.0, 0.0, 0.0);
    for (uint m = 0; m < range.y; ++m)
    {
        uint4 spring = gSprings[range.x + m];
        if (!strainLimited(spring.z))
            continue;
        float3 d = gCurrent[spring.x].position - next;
        float len = length(d);
        float limit = asfloat(spring.y) * (1.0 + kStrainLimit);
        if (len > limit)
            pull += d * (0.5 * (len - limit) / len);
    }
    next += pull;
    next = collide(next, x);

    if (!finite3(next))
        next = x;
    next = clamp(next, -kClothBound, kClothBound);
    ClothState o;
    o.position = next;
    o.inverseMass = s.inverseMass;
    o.previous = x;
    o.pad = 0.0;
    gNext[i] = o;
}

// Area-weighted normal of a vertex from its faces, with `positionOf(vertex)` giving corners.
#define FACE_NORMAL_SUM(i, positionOf, result)                                  \
    {                                                                           \
        uint2 faces_ = gFaceRanges[i];                                          \
        result = float3(0.0, 0.0, 0.0);                                         \
        for (uint f_ = 0; f_ < faces_.y; ++f_)                                  \
        {                                                                       \
            uint4 t_ = gTriangles[gFaceList[faces_.x + f_]];                    \
            float3 a_ = positionOf(t_.x), b_ = positionOf(t_.y), c_ = positionOf(t_.z); \
            result += cross(b_ - a_, c_ - a_);                                  \
        }                                                                       \
    }

// The normal of a render vertex on simulation vertex i: the faces around i whose rest normal
// lies within 60 degrees of the render vertex's rest normal. A file's hard edge (a box corner
// where three render vertices share one position) keeps its crease; a smooth surface, whose
// seams only split uvs, sums all its faces. Falls back to all faces when none qualifies.
#define CREASE_NORMAL_SUM(i, restNormal, positionOf, result)                    \
    {                                                                           \
        uint2 faces_ = gFaceRanges[i];                                          \
        float3 all_ = float3(0.0, 0.0, 0.0);                                    \
        result = float3(0.0, 0.0, 0.0);                                         \
        for (uint f_ = 0; f_ < faces_.y; ++f_)                                  \
        {                                                                       \
            uint4 t_ = gTriangles[gFaceList[faces_.x + f_]];                    \
            float3 a_ = positionOf(t_.x), b_ = positionOf(t_.y), c_ = positionOf(t_.z); \
            float3 n_ = cross(b_ - a_, c_ - a_);                                \
            float3 r_ = cross(gRest[t_.y].position - gRest[t_.x].position,      \
                              gRest[t_.z].position - gRest[t_.x].position);     \
            all_ += n_;                                                         \
            if (dot(r_, restNormal) > 0.5 * length(r_) * length(restNormal))    \
                result += n_;                                                   \
        }                                                                       \
        if (dot(result, result) <= 0.0)                                         \
            result = all_;                                                      \
    }

// The rest tangent turned into the plane of the new normal.
float3 tangentFor(float3 normal, float3 restTangent)
{
    float3 t = restTangent - normal * dot(restTangent, normal);
    float len = length(t);
    return len > 1.0e-6 ? t / len : restTangent;
}

#endif
