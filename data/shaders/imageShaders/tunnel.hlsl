// Flying down a chequered tunnel; its far end opens onto the input picture.
//   gParam1  x depth repeat, y speed, z twist (turns per unit of depth)
//   gParam2  colour of the light tiles (the dark tiles are a third of it)
//   gParam3  x size of the opening at the far end
#include "../common/imageShader.hlsli"

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float2 p = centred(i.uv);
    float r = max(length(p), 1e-3);
    float angle = atan2(p.y, p.x) / 6.2831853;  // turns
    float depth = gParam1.x / r + gTime * gParam1.y;
    float2 tile = float2(depth, angle * 8.0 + depth * gParam1.z);
    float2 cell = floor(tile * 2.0);
    float checker = fmod(abs(cell.x + cell.y), 2.0);
    float3 wall = gParam2.xyz * lerp(1.0 / 3.0, 1.0, checker);
    float light = saturate(r * 1.2);  // walls fade into the distance
    float opening = saturate((r - 0.08 * gParam3.x) / max(0.08 * gParam3.x, 1e-3));
    float4 input = inputAt(i.uv);
    return float4(lerp(input.rgb, wall * light, opening), 1.0);
}
