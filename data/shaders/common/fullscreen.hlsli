// The full-screen triangle every image pass draws, and the mapping from the region being
// drawn into a source texture.
//
// Drawn as three vertices of a triangle strip without vertex buffers: one triangle whose
// inner half covers the viewport, so uv runs over [0, 1] across the destination region,
// (0, 0) at its top-left.
#ifndef COMMON_FULLSCREEN_HLSLI
#define COMMON_FULLSCREEN_HLSLI

struct FullscreenVertex
{
    float4 pos : SV_POSITION;
    float2 uv : TEXCOORD0;
};

FullscreenVertex fullscreenTriangle(uint id)
{
    FullscreenVertex o;
    float2 uv = float2((id << 1) & 2, id & 2);  // (0, 0), (2, 0), (0, 2)
    o.pos = float4(uv.x * 2.0 - 1.0, 1.0 - uv.y * 2.0, 0.0, 1.0);
    o.uv = uv;
    return o;
}

// uv over the destination region -> uv in a source texture, with the pass's
// gRegionScale (region size / source size) and gRegionOffset (region top-left / source size).
float2 regionToSource(float2 uv, float2 regionScale, float2 regionOffset)
{
    return uv * regionScale + regionOffset;
}

// On a CPU driver a constant read by a pixel shader is a load on every pixel, which costs as
// much as arithmetic on it. A pass whose constants are the same for all its pixels reads them
// in its vertex shader instead and hands them on flat (nointerpolation inputs cost the pixels
// nothing), and maps uv into the source there too: the mapping is linear, so interpolating
// the mapped corners gives each pixel its source uv.

#endif
