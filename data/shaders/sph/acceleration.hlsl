// Acceleration of every sorted particle: pressure (spiky kernel gradient, in the symmetric
// form that conserves momentum), viscosity (viscosity kernel Laplacian) and gravity.
// w carries the particle's density on to the integration, which draws with it.
//
// Only about one in five of the particles in the 27 voxels around a particle lies within the
// smoothing length, and on a CPU driver a loop body runs for every lane of a vector whichever
// lanes need it: so the pair terms are summed over the neighbours the density pass marked,
// row by row from the lowest bit, which is the order of the voxel scan (the same pairs in the
// same order: the same bits). A particle with a row too long for its mask scans its voxels
// as the density pass did.
#include "sph.hlsli"

StructuredBuffer<VoxelKey> gKeys : register(t0);
StructuredBuffer<uint> gVoxelEnd : register(t1);
StructuredBuffer<float> gDensity : register(t2);
StructuredBuffer<FluidParticle> gSorted : register(t3);
StructuredBuffer<float> gPressureTerm : register(t4);  // pressure / density^2, from the density pass
StructuredBuffer<uint> gNeighbourList : register(t5);  // row masks, from the density pass
RWStructuredBuffer<float4> gAcceleration : register(u0);

#include "neighbours.hlsli"

// The push of the six walls of the box on a particle near them.
float3 wallAcceleration(float3 x, float3 v)
{
    float3 a = float3(0.0, 0.0, 0.0);
    [unroll] for (int c = 0; c < 3; ++c)
    {
        float below = kWallRange - (x[c] - kBoxMin[c]);  // how far inside the lower wall's range
        float above = kWallRange - (kBoxMax[c] - x[c]);
        if (below > 0.0)
            a[c] += kWallStiffness * below - kWallDamping * min(v[c], 0.0);
        if (above > 0.0)
            a[c] -= kWallStiffness * above + kWallDamping * max(v[c], 0.0);
    }
    return a;
}

// The pressure and viscosity terms of the pair (i, j), added to the sums.
void addPair(inout float3 pressureAcc, inout float3 viscosityAcc, FluidParticle self, float pI, uint j)
{
    float3 d = self.position - gSorted[j].position;
    float r = sqrt(dot(d, d));
    float rhoJ = gDensity[j];
    float w = kH - r;
    if (r > 1.0e-6)
    {
        float pJ = gPressureTerm[j];
        pressureAcc -= kMass * (pI + pJ) * kSpikyGrad * w * w * (d / r);
    }
    viscosityAcc += kMass * (gSorted[j].velocity - self.velocity) / rhoJ * (kViscLap * w);
}

[numthreads(SPH_GROUP, 1, 1)]
void acceleration(uint3 id : SV_DispatchThreadID)
{
    uint i = id.x;
    FluidParticle self = gSorted[i];
    float rhoI = gDensity[i];
    float pI = gPressureTerm[i];
    float3 pressureAcc = float3(0.0, 0.0, 0.0);
    float3 viscosityAcc = float3(0.0, 0.0, 0.0);
    uint record = i * NEIGHBOUR_RECORD;
    uint count = gNeighbourList[record], words = gNeighbourList[record + 1u];
    bool listed = count != NOT_LISTED;
    // One loop over the neighbours, not one a row: a loop runs as long as its longest lane,
    // and one loop's longest lane is shorter than the sum of nine loops' longest.
    uint bits = 0, base = 0;
    for (uint m = 0; m < (listed ? count : 0); ++m)
    {
        if (bits == 0u)
        {
            // On to the next word holding neighbours.
            uint w = firstbitlow(words);
            words &= words - 1u;
            uint at = record + 2u + 3u * (w >> 1);
            base = gNeighbourList[at] + 32u * (w & 1u);
            bits = gNeighbourList[at + 1u + (w & 1u)];
        }
        uint j = base + firstbitlow(bits);
        bits &= bits - 1u;
        addPair(pressureAcc, viscosityAcc, self, pI, j);
    }
    for (uint scan = listed ? 1 : 0; scan < 1; ++scan)
    {
        int3 center = voxelCoords(gKeys[i].voxel);
        for (int dz = -1; dz <= 1; ++dz)
        {
            for (int dy = -1; dy <= 1; ++dy)
            {
                uint first, last;
                rowRange(center, dy, dz, first, last);
                for (uint j = first; j < last; ++j)
                {
                    float3 d = self.position - gSorted[j].position;
                    if (j == i || dot(d, d) >= kH * kH)
                        continue;
                    addPair(pressureAcc, viscosityAcc, self, pI, j);
                }
            }
        }
    }
    float3 a = pressureAcc + viscosityAcc * (kViscosity / rhoI) + kGravity + wallAcceleration(self.position, self.velocity);
    if (!finite3(a))
        a = kGravity;
    gAcceleration[i] = float4(a, rhoI);
}
