// A moving plasma of overlapping sine waves, added over the input picture.
//   gParam1  x wave scale, y speed, z brightness
//   gParam2  phase of the red, green and blue cycles (in thirds of a turn)
//   gParam3  x how much of the input picture shows through
#include "../common/imageShader.hlsli"

float4 PS(FullscreenVertex i) : SV_TARGET
{
    float2 p = centred(i.uv) * 3.0 * gParam1.x;
    float t = gTime * gParam1.y;
    float v = sin(p.x + t);
    v += sin((p.y + t) * 0.5);
    v += sin((p.x + p.y + t) * 0.5);
    float2 c = p + 2.0 * float2(sin(t / 3.0), cos(t / 2.0));
    v += sin(sqrt(dot(c, c) + 1.0) + t);
    v *= 0.5;
    float3 phase = float3(0.0, 2.0 / 3.0, 4.0 / 3.0) * gParam2.xyz;
    float3 colour = (0.5 + 0.5 * cos(3.14159265 * (v + phase))) * gParam1.z;
    float4 input = inputAt(i.uv);
    return float4(colour + input.rgb * gParam3.x, 1.0);
}
