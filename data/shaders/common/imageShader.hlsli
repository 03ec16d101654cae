// What an "ImageShader" operator hands its shader file, for files to include:
//   gTime        the operator's time in seconds
//   gResolution  the viewport's width and height in pixels
//   gRegionScale, gRegionOffset   viewport uv -> uv in the frame's textures
//   gParam1..3   the operator's Param1..3 (x, y, z; w is 0), all 1 by default
//   slot 0       the picture of its "ImageIn" when connected (linear filtering, clamped);
//                nothing (zeros) otherwise
// The file draws over the viewport of the picture that was current when the operator ran
// (nothing is cleared first), as a full-screen triangle: entry points VS and PS.
#ifndef COMMON_IMAGE_SHADER_HLSLI
#define COMMON_IMAGE_SHADER_HLSLI

#include "fullscreen.hlsli"

cbuffer ImageShaderConstants : register(b0)
{
    float gTime;
    float2 gResolution;
    float2 gRegionScale;
    float2 gRegionOffset;
    float4 gParam1;
    float4 gParam2;
    float4 gParam3;
};

Texture2D gInput : register(t0);
SamplerState gInputSampler : register(s0);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

// The input picture at viewport uv (zeros when nothing is connected).
float4 inputAt(float2 uv)
{
    return gInput.SampleLevel(gInputSampler, regionToSource(uv, gRegionScale, gRegionOffset), 0);
}

// Viewport uv -> [-1, 1] across the height, x scaled by the aspect, y up.
float2 centred(float2 uv)
{
    float2 p = uv * 2.0 - 1.0;
    return float2(p.x * gResolution.x / max(gResolution.y, 1.0), -p.y);
}

#endif
