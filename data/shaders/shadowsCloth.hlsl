// Depth of a cloth seen from a light. The cloth has no vertex buffer: vertex i's position is
// texel (i mod width, i div width) of its position texture (vertex-shader slot 1).
cbuffer ShadowConstants : register(b0)
{
    float4x4 gWorldViewProj;
};

Texture2D gClothPositions : register(t1);
SamplerState gClothSampler : register(s1);

float4 VS(uint id : SV_VertexID) : SV_POSITION
{
    uint width, height;
    gClothPositions.GetDimensions(width, height);
    width = max(width, 1u);
    height = max(height, 1u);
    float2 uv = (float2(id % width, id / width) + 0.5) / float2(width, height);
    float3 pos = gClothPositions.SampleLevel(gClothSampler, uv, 0).xyz;
    float4 p = mul(float4(pos, 1.0), gWorldViewProj);
    p.z = max(p.z, 0.0);
    return p;
}

void PS()
{
}
