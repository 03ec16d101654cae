// A stable-fluids solver on a gDIM x gDIM periodic grid laid over the viewport, pushed by
// the scene's motion and applied to the picture as a displacement.
//
// Buffers (one element per cell, row after row):
//   u0 velocity  float2, cells per second, x to the right and y downward (kept between frames)
//   u1 spectrum  float4, the two components' Fourier coefficients (x.re, x.im, y.re, y.im)
//   u2 scratch   float4, the advected velocity (xy), later the inverse transform (x and z)
//
// One step of length gDeltaTime:
//   CSAdvectVelocity  velocity carried along itself, traced back semi-Lagrangian -> scratch
//   CSAddForces       where the velocity tiles show motion (and the mask lets it), the
//                     velocity is pulled towards the scene's velocity times gForce, by
//                     gInfluence -> velocity
//   fft CSFFTR2C      velocity -> spectrum
//   CSDiffuseProject  viscous decay exp(-|k|^2 gViscosity dt / 100), removal of the
//                     divergent part (the component along k) of every coefficient and of
//                     the mean flow
//   fft CSFFTC2R      spectrum -> scratch
//   CSUpdateVelocity  scratch / gDIM^2, faded by exp(-gDissipation dt) -> velocity
// PSApplyVelocity then draws the picture displaced backwards along the velocity: a pixel
// shows the source gDisplacement seconds upstream, so the picture flows with the fluid;
// where the velocity is exactly zero it shows its own source texel unchanged.

cbuffer FluidConstants : register(b0)
{
    float2 gRegionScale;
    float2 gRegionOffset;
    int4 gRegion;
    int gDIM;
    float gDeltaTime;
    float gForce;
    float gInfluence;
    float gViscosity;
    float gDissipation;
    float gDisplacement;
    int gMaskConnected;
};

RWStructuredBuffer<float2> gVelocity : register(u0);
RWStructuredBuffer<float4> gSpectrum : register(u1);
RWStructuredBuffer<float4> gScratch : register(u2);

Texture2D gTiles : register(t0);
Texture2D gMask : register(t1);
SamplerState gTilesSampler : register(s0);
SamplerState gMaskSampler : register(s1);

static const float kMinSceneSpeed = 8.0;  // cells per second below which the scene counts as still

uint cellIndex(int2 c)
{
    int n = gDIM;
    c = ((c % n) + n) % n;  // periodic
    return uint(c.y * n + c.x);
}

float2 velocityAt(float2 p)
{
    float2 f = floor(p);
    float2 t = p - f;
    int2 c = int2(f);
    float2 a = lerp(gVelocity[cellIndex(c)], gVelocity[cellIndex(c + int2(1, 0))], t.x);
    float2 b = lerp(gVelocity[cellIndex(c + int2(0, 1))], gVelocity[cellIndex(c + int2(1, 1))], t.x);
    return lerp(a, b, t.y);
}

[numthreads(16, 16, 1)]
void CSAdvectVelocity(uint3 id : SV_DispatchThreadID)
{
    if (int(id.x) >= gDIM || int(id.y) >= gDIM)
        return;
    uint i = id.y * uint(gDIM) + id.x;
    float2 back = float2(id.xy) - gDeltaTime * gVelocity[i];
    gScratch[i] = float4(velocityAt(back), 0.0, 0.0);
}

[numthreads(16, 16, 1)]
void CSAddForces(uint3 id : SV_DispatchThreadID)
{
    if (int(id.x) >= gDIM || int(id.y) >= gDIM)
        return;
    uint i = id.y * uint(gDIM) + id.x;
    float2 uv = (float2(id.xy) + 0.5) / float(gDIM);  // over the viewport
    // The tiles hold uv units of the whole target per millisecond.
    float2 scale = max(gRegionScale, float2(1e-6, 1e-6));
    float2 scene = gTiles.SampleLevel(gTilesSampler, uv, 0).xy * 1000.0 / scale * float(gDIM);
    float weight = saturate(length(scene) / kMinSceneSpeed) * gInfluence;
    if (gMaskConnected != 0)
        weight *= saturate(dot(gMask.SampleLevel(gMaskSampler, uv * gRegionScale + gRegionOffset, 0).rgb,
                               float3(0.2126, 0.7152, 0.0722)));
    float2 v = gScratch[i].xy;
    gVelocity[i] = lerp(v, scene * gForce, saturate(weight));
}

[numthreads(16, 16, 1)]
void CSDiffuseProject(uint3 id : SV_DispatchThreadID)
{
    if (int(id.x) >= gDIM || int(id.y) >= gDIM)
        return;
    uint i = id.y * uint(gDIM) + id.x;
    int halfDim = gDIM / 2;
    float kx = float(int(id.x) <= halfDim ? int(id.x) : int(id.x) - gDIM);
    float ky = float(int(id.y) <= halfDim ? int(id.y) : int(id.y) - gDIM);
    float k2 = kx * kx + ky * ky;
    if (k2 == 0.0)
    {
        // No drift of the whole fluid: a moving object stirs its surroundings, it does not
        // carry the entire picture along.
        gSpectrum[i] = 0;
        return;
    }
    float4 c = gSpectrum[i] * exp(-k2 * gViscosity * gDeltaTime * 0.01);
    float2 kDotU = kx * c.xy + ky * c.zw;  // complex
    c.xy -= kx * kDotU / k2;
    c.zw -= ky * kDotU / k2;
    gSpectrum[i] = c;
}

[numthreads(16, 16, 1)]
void CSUpdateVelocity(uint3 id : SV_DispatchThreadID)
{
    if (int(id.x) >= gDIM || int(id.y) >= gDIM)
        return;
    uint i = id.y * uint(gDIM) + id.x;
    float fade = exp(-gDissipation * gDeltaTime) / float(gDIM * gDIM);
    float4 r = gScratch[i];
    gVelocity[i] = float2(r.x, r.z) * fade;
}

// ------------------------------------------------------------------ applying it to the picture

#include "common/fullscreen.hlsli"

Texture2D gSource : register(t2);
StructuredBuffer<float2> gField : register(t3);
SamplerState gSourceSampler : register(s2);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float2 fieldAt(float2 p)
{
    float2 f = floor(p);
    float2 t = p - f;
    int2 c = int2(f);
    float2 a = lerp(gField[cellIndex(c)], gField[cellIndex(c + int2(1, 0))], t.x);
    float2 b = lerp(gField[cellIndex(c + int2(0, 1))], gField[cellIndex(c + int2(1, 1))], t.x);
    return lerp(a, b, t.y);
}

float4 PSApplyVelocity(FullscreenVertex i) : SV_TARGET
{
    float2 velocity = fieldAt(i.uv * float(gDIM) - 0.5);      // cells per second
    float2 shift = velocity / float(gDIM) * gDisplacement;  // viewport uv
    if (shift.x == 0.0 && shift.y == 0.0)
    {
        float w, h;
        gSource.GetDimensions(w, h);
        int2 texel = int2(regionToSource(i.uv, gRegionScale, gRegionOffset) * float2(w, h));
        return gSource.Load(int3(texel, 0));
    }
    float2 from = saturate(i.uv - shift);
    return gSource.SampleLevel(gSourceSampler, regionToSource(from, gRegionScale, gRegionOffset), 0);
}
