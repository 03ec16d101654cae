// One cut of "DynaMesh": every triangle of the source is split by the plane (planePos,
// planeDir). A vertex is on the positive side when dot(p - planePos, planeDir) > 0; a
// triangle on one side is copied, a crossing one becomes one triangle on its lone vertex's
// side and two on the other, with every vertex component interpolated along the cut edges.
// Triangles on the positive side move by strength * planeDir, so the two sides part by
// "strength" (in world units when planeDir came from a unit world normal).
#include "common/dynaMesh.hlsli"

StructuredBuffer<DynaVertex> gSource : register(t0);
StructuredBuffer<uint> gSourceCount : register(t1);   // the first counter
RWStructuredBuffer<DynaVertex> gDest : register(u0);
RWStructuredBuffer<uint> gDestCount : register(u1);   // the second counter

DynaVertex lerpVertex(DynaVertex a, DynaVertex b, float t)
{
    DynaVertex r;
    r.px = lerp(a.px, b.px, t); r.py = lerp(a.py, b.py, t); r.pz = lerp(a.pz, b.pz, t);
    r.nx = lerp(a.nx, b.nx, t); r.ny = lerp(a.ny, b.ny, t); r.nz = lerp(a.nz, b.nz, t);
    r.tx = lerp(a.tx, b.tx, t); r.ty = lerp(a.ty, b.ty, t); r.tz = lerp(a.tz, b.tz, t);
    r.u = lerp(a.u, b.u, t); r.v = lerp(a.v, b.v, t);
    return r;
}

DynaVertex moved(DynaVertex a, bool positive)
{
    if (positive)
    {
        a.px += planeDir.x * strength;
        a.py += planeDir.y * strength;
        a.pz += planeDir.z * strength;
    }
    return a;
}

void writeTriangle(uint slot, uint capacity, DynaVertex a, DynaVertex b, DynaVertex c, bool positive)
{
    if (slot >= capacity)
        return;  // a buffer sized for fewer cuts than were made: the rest is lost, not written out of bounds
    gDest[slot * 3 + 0] = moved(a, positive);
    gDest[slot * 3 + 1] = moved(b, positive);
    gDest[slot * 3 + 2] = moved(c, positive);
}

float signedDistance(DynaVertex v)
{
    return dot(float3(v.px, v.py, v.pz) - planePos.xyz, planeDir.xyz);
}

[numthreads(DYNAMESH_GROUP_SIZE, 1, 1)]
void CS(uint3 group : SV_GroupID, uint index : SV_GroupIndex)
{
    uint destElements, stride;
    gDest.GetDimensions(destElements, stride);
    uint capacity = destElements / 3;
    uint srcCount = min(triCountSrc + gSourceCount[0], capacity);

    for (uint i = dispatchThread(group, index); i < srcCount; i += dispatchThreads())
    {
        DynaVertex v[3] = { gSource[i * 3], gSource[i * 3 + 1], gSource[i * 3 + 2] };
        float d[3] = { signedDistance(v[0]), signedDistance(v[1]), signedDistance(v[2]) };
        uint positives = (d[0] > 0.0 ? 1 : 0) + (d[1] > 0.0 ? 1 : 0) + (d[2] > 0.0 ? 1 : 0);
        if (positives == 0 || positives == 3)
        {
            writeTriangle(i, capacity, v[0], v[1], v[2], positives == 3);
            continue;
        }
        // The lone vertex is the one alone on its side; a and b follow it in order.
        uint lone = 0;
        for (uint k = 0; k < 3; ++k)
            if ((d[k] > 0.0) == (positives == 1))
                lone = k;
        uint ia = (lone + 1) % 3, ib = (lone + 2) % 3;
        float spanA = d[lone] - d[ia], spanB = d[lone] - d[ib];
        float ta = abs(spanA) >= 1e-5 ? -d[ia] / spanA : 0.0;
        float tb = abs(spanB) >= 1e-5 ? -d[ib] / spanB : 0.0;
        bool validA = abs(spanA) >= 1e-5 ? (ta >= 0.0 && ta <= 1.0) : d[ia] == 0.0;
        bool validB = abs(spanB) >= 1e-5 ? (tb >= 0.0 && tb <= 1.0) : d[ib] == 0.0;
        if (!validA || !validB)
        {
            writeTriangle(i, capacity, v[0], v[1], v[2], true);
            continue;
        }
        DynaVertex ea = lerpVertex(v[ia], v[lone], ta);
        DynaVertex eb = lerpVertex(v[ib], v[lone], tb);
        bool lonePositive = d[lone] > 0.0;
        uint extra;
        InterlockedAdd(gDestCount[0], 2, extra);
        writeTriangle(i, capacity, v[lone], ea, eb, lonePositive);
        writeTriangle(triCountSrc + extra, capacity, ea, v[ia], v[ib], !lonePositive);
        writeTriangle(triCountSrc + extra + 1, capacity, ea, v[ib], eb, !lonePositive);
    }
}
