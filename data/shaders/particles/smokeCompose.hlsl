// The smoke drawn at half the size (pointspritesOpacity.hlsl's PSHalf) laid over the G-buffer in
// two passes over the viewport, read bilinearly at each pixel: the first multiplies the albedo
// and the emissive light by what gets through the smoke and grows their alphas (the surface mark)
// by the sum of its opacities; the second adds the smoke's own lit colour to the emissive light.
// Both half-size targets cover the whole G-buffer at half its size.
#include "../common/fullscreen.hlsli"

Texture2D gSmokeLight : register(t0);   // rgb the lit colour over black, a what gets through
Texture2D gSmokeAmount : register(t1);  // r the sum of the opacities
SamplerState gSmokeSampler : register(s0);

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

// Where a G-buffer pixel lies in the half-size targets.
float2 halfUv(float4 pos)
{
    uint w, h;
    gSmokeLight.GetDimensions(w, h);
    return pos.xy / (2.0 * float2(w, h));
}

// All five targets are declared; the passes' states write only the albedo and the emissive.
struct ComposeOutput
{
    float4 albedo : SV_Target0;
    float4 normalDepth : SV_Target1;
    float4 material : SV_Target2;
    float4 emissive : SV_Target3;
    float4 velocity : SV_Target4;
};

// Blended as destination x source colour, alphas added.
ComposeOutput PSShade(FullscreenVertex i)
{
    float2 uv = halfUv(i.pos);
    float through = gSmokeLight.SampleLevel(gSmokeSampler, uv, 0).a;
    float sum = gSmokeAmount.SampleLevel(gSmokeSampler, uv, 0).r;
    ComposeOutput o;
    o.albedo = float4(through, through, through, sum);
    o.normalDepth = float4(0.0, 0.0, 0.0, 0.0);
    o.material = float4(0.0, 0.0, 0.0, 0.0);
    o.emissive = float4(through, through, through, sum);
    o.velocity = float4(0.0, 0.0, 0.0, 0.0);
    return o;
}

// Added.
ComposeOutput PSLight(FullscreenVertex i)
{
    ComposeOutput o;
    o.albedo = float4(0.0, 0.0, 0.0, 0.0);
    o.normalDepth = float4(0.0, 0.0, 0.0, 0.0);
    o.material = float4(0.0, 0.0, 0.0, 0.0);
    o.emissive = float4(gSmokeLight.SampleLevel(gSmokeSampler, halfUv(i.pos), 0).rgb, 0.0);
    o.velocity = float4(0.0, 0.0, 0.0, 0.0);
    return o;
}
