// Copies the current region of a source texture into the region being drawn.
// Drawn as a 3-vertex triangle strip without vertex buffers: one triangle that covers
// the whole viewport, so uv runs over [0, 1] across the destination region.

cbuffer CopyConstants : register(b0)
{
    float2 gRegionScale;   // region size / source size
    float2 gRegionOffset;  // region top-left / source size
    float2 gResolution;    // region size in pixels
    float gScale;          // zoom about the region's top-left: 2 stretches its top-left half
};

Texture2D gSource : register(t0);
SamplerState gPointSampler : register(s0);

struct CopyVertex
{
    float4 pos : SV_POSITION;
    float2 uv : TEXCOORD0;
};

CopyVertex VS(uint id : SV_VertexID)
{
    // uv (0, 0), (2, 0), (0, 2): the viewport is the triangle's inner half.
    CopyVertex o;
    float2 uv = float2((id << 1) & 2, id & 2);
    o.pos = float4(uv.x * 2.0 - 1.0, 1.0 - uv.y * 2.0, 0.0, 1.0);
    o.uv = uv;
    return o;
}

float2 sourceCoord(float2 uv)
{
    float zoom = gScale > 0.0 ? gScale : 1.0;
    return uv * gRegionScale / zoom + gRegionOffset;
}

float4 PS(CopyVertex i) : SV_TARGET
{
    return gSource.Sample(gPointSampler, sourceCoord(i.uv));
}

// Depth (or any one-channel source) shown as grey.
float4 PSDepth(CopyVertex i) : SV_TARGET
{
    float d = gSource.Sample(gPointSampler, sourceCoord(i.uv)).r;
    return float4(d, d, d, 1.0);
}
