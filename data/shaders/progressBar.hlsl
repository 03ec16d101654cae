// The loading bar: a framed horizontal bar across the middle of the screen, filled from
// the left up to gProgress (0 to 1). Drawn as a 4-vertex triangle strip without vertex
// buffers.

cbuffer ProgressConstants : register(b0)
{
    float gProgress;
};

struct BarVertex
{
    float4 pos : SV_POSITION;
    float2 uv : TEXCOORD0;
};

static const float2 kBarMin = float2(-0.6, -0.025);
static const float2 kBarMax = float2(0.6, 0.025);

BarVertex VS(uint id : SV_VertexID)
{
    // Strip order: top-left, top-right, bottom-left, bottom-right.
    BarVertex o;
    float2 uv = float2(id & 1, id >> 1);
    o.pos = float4(lerp(kBarMin.x, kBarMax.x, uv.x), lerp(kBarMax.y, kBarMin.y, uv.y), 0.0, 1.0);
    o.uv = uv;
    return o;
}

float4 PS(BarVertex i) : SV_TARGET
{
    // A frame two pixels wide, whatever the screen size.
    float2 edge = min(i.uv, 1.0 - i.uv);
    float2 frame = fwidth(i.uv) * 2.0;
    if (edge.x < frame.x || edge.y < frame.y)
        return float4(0.7, 0.7, 0.7, 1.0);
    float filled = i.uv.x <= saturate(gProgress) ? 1.0 : 0.0;
    return lerp(float4(0.08, 0.08, 0.08, 1.0), float4(1.0, 1.0, 1.0, 1.0), filled);
}
