// Depth of an instanced caster seen from a light: every instance brings its own matrix
// (rows WORLD0-WORLD3, applied before the caster's world).
cbuffer ShadowConstants : register(b0)
{
    float4x4 gWorldViewProj;
};

struct InstancedVertex
{
    float3 pos : POSITION;
    float4 world0 : WORLD0;
    float4 world1 : WORLD1;
    float4 world2 : WORLD2;
    float4 world3 : WORLD3;
};

float4 VS(InstancedVertex v) : SV_POSITION
{
    float4x4 instance = float4x4(v.world0, v.world1, v.world2, v.world3);
    float4 p = mul(mul(float4(v.pos, 1.0), instance), gWorldViewProj);
    p.z = max(p.z, 0.0);
    return p;
}

void PS()
{
}
