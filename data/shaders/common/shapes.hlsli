// Shapes that geometry and compute stages build around points: a rotation about an axis and
// the faces of a cube. Needs no constants, so compute programs include it too.
#ifndef COMMON_SHAPES_HLSLI
#define COMMON_SHAPES_HLSLI

// Rodrigues rotation of v about a unit axis by an angle in radians.
float3 rotateAbout(float3 v, float3 axis, float angle)
{
    float c = cos(angle), s = sin(angle);
    return v * c + cross(axis, v) * s + axis * dot(axis, v) * (1.0 - c);
}

// The faces of the cube of half size 1 about the origin: face f (0 to 5) has the outward
// normal kCubeFaceNormals[f], and cubeFaceCorner(f, k) for k = 0 to 3 are its corners in
// strip order, wound clockwise seen from outside.
static const float3 kCubeFaceNormals[6] = {float3(1, 0, 0), float3(-1, 0, 0), float3(0, 1, 0),
                                           float3(0, -1, 0), float3(0, 0, 1), float3(0, 0, -1)};
static const float3 kCubeFaceUs[6] = {float3(0, 0, 1), float3(0, 0, -1), float3(1, 0, 0),
                                      float3(1, 0, 0), float3(-1, 0, 0), float3(1, 0, 0)};

float3 cubeFaceCorner(uint f, uint k)
{
    float3 n = kCubeFaceNormals[f];
    float3 u = kCubeFaceUs[f];
    float3 v = cross(n, u);
    return n + (k < 2 ? -u : u) + ((k & 1) == 0 ? v : -v);
}

#endif
