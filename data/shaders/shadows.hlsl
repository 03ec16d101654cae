// Depth of shadow casters seen from a light. Casters nearer to the light than the map's near
// plane are flattened onto it instead of being clipped, so they still cast their shadow.
cbuffer ShadowConstants : register(b0)
{
    float4x4 gWorldViewProj;  // caster world x light view x light projection
};

float4 VS(float3 pos : POSITION) : SV_POSITION
{
    float4 p = mul(float4(pos, 1.0), gWorldViewProj);
    p.z = max(p.z, 0.0);
    return p;
}

void PS()
{
}
