// A full-screen pass over a picture whose effect an optional mask picture limits: the
// picture in t0 and the mask in t1, each with the sampler of its own slot, and how far the
// mask lets the effect through at a point.
#ifndef COMMON_MASKED_PASS_HLSLI
#define COMMON_MASKED_PASS_HLSLI

#include "fullscreen.hlsli"
#include "color.hlsli"

// The constants the manager sets on every grading pass that takes a mask, after the pass's
// own (the end of its b0 buffer):
//     cbuffer Constants : register(b0) { float4 gHSL; MASKED_PASS_CONSTANTS };
#define MASKED_PASS_CONSTANTS \
    float2 gRegionScale;      \
    float2 gRegionOffset;     \
    float2 gScreenSize;       \
    int gMaskImageConnected;

Texture2D gSource : register(t0);
Texture2D gMask : register(t1);
SamplerState gSourceSampler : register(s0);
SamplerState gMaskSampler : register(s1);

// The fields every grading pass's vertex starts with: the position, uv in the source (the
// mask covers the same region) and whether a mask is connected, all from the vertex shader
// (see common/fullscreen.hlsli); the pass adds its own flat constants after them.
#define GRADE_VERTEX_FIELDS                      \
    float4 pos : SV_POSITION;                    \
    float2 uv : TEXCOORD0;                       \
    nointerpolation float masked : TEXCOORD1;

// Fills the GRADE_VERTEX_FIELDS of `o` for vertex `id`.
#define GRADE_VERTEX_START(o, id)                                       \
    {                                                                   \
        FullscreenVertex f = fullscreenTriangle(id);                    \
        o.pos = f.pos;                                                  \
        o.uv = regionToSource(f.uv, gRegionScale, gRegionOffset);       \
        o.masked = gMaskImageConnected != 0 ? 1.0 : 0.0;                \
    }

// The mask's weight at uv (maskWeight of its texel); 1 where `connected` is 0. `connected`
// is the same for every pixel of the pass, so a GPU skips the fetch without a mask.
float maskAt(float2 uv, float connected)
{
    [branch]
    if (connected == 0.0)
        return 1.0;
    return maskWeight(1, gMask.Sample(gMaskSampler, uv));
}

// The picture's colour c with its rgb taken towards `graded` as far as the mask lets it at
// uv; alpha is kept.
float4 maskedGrade(float4 c, float3 graded, float2 uv, float connected)
{
    return float4(lerp(c.rgb, graded, maskAt(uv, connected)), c.a);
}

#endif
