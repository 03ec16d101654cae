// What every deferred light and the image-based term read: the G-buffer in pixel slots 0-3
// with the frame's depth target in slot 4 (point sampler s0), decoded into one lit pixel in
// world space; the shadow-map filter (comparison sampler s1); falloff and in-scattering.
//
// Positions come from the depth target through the inverse view-projection (the G-buffer's
// 16-bit linear depth is too coarse for shadow tests); normals from the G-buffer, turned
// into world space by the camera matrix.
#ifndef COMMON_LIGHTING_HLSLI
#define COMMON_LIGHTING_HLSLI

#include "gbuffer.hlsli"
#include "brdf.hlsli"

Texture2D gGBufferAlbedo : register(t0);
Texture2D gGBufferNormal : register(t1);
Texture2D gGBufferMaterial : register(t2);
Texture2D gGBufferEmissive : register(t3);
Texture2D gDepthTarget : register(t4);
SamplerState gPointSampler : register(s0);
SamplerComparisonState gShadowSampler : register(s1);

struct LitPixel
{
    bool hasGeometry;
    float3 position;     // world space
    float3 normal;       // world space, unit length
    float3 toEye;        // unit length
    float deviceDepth;   // 0 near .. 1 far
    float iblMultiplier;
    BrdfSurface surface;
};

// A unit direction, or fallback for a vector without length.
float3 directionOr(float3 v, float3 fallback)
{
    float len2 = dot(v, v);
    return len2 > 1e-24 ? v * rsqrt(len2) : fallback;
}

// World position of viewport uv at device depth z.
float3 worldPositionAt(float2 viewportUv, float z, float4x4 invViewProj)
{
    float4 p = mul(float4(viewportUvToNdc(viewportUv), z, 1.0), invViewProj);
    return p.xyz / p.w;
}

// The G-buffer under viewport uv. invViewProj is the inverse of view x projection,
// invView the camera matrix, eye the camera position.
LitPixel readLitPixel(float2 viewportUv, float4x4 invViewProj, float4x4 invView, float3 eye, float2 regionScale,
                      float2 regionOffset)
{
    float2 uv = gbufferUv(viewportUv, regionScale, regionOffset);
    GBufferSample g = decodeGBuffer(gGBufferAlbedo.SampleLevel(gPointSampler, uv, 0),
                                    gGBufferNormal.SampleLevel(gPointSampler, uv, 0),
                                    gGBufferMaterial.SampleLevel(gPointSampler, uv, 0),
                                    gGBufferEmissive.SampleLevel(gPointSampler, uv, 0), float2(0.0, 0.0));
    LitPixel p;
    p.hasGeometry = g.hasGeometry;
    p.deviceDepth = gDepthTarget.SampleLevel(gPointSampler, uv, 0).r;
    p.position = worldPositionAt(viewportUv, p.deviceDepth, invViewProj);
    p.normal = directionOr(mul(float4(g.viewNormal, 0.0), invView).xyz, float3(0.0, 1.0, 0.0));
    p.toEye = directionOr(eye - p.position, float3(0.0, 1.0, 0.0));
    p.iblMultiplier = g.iblMultiplier;
    p.surface = makeBrdfSurface(g.albedo, g.roughness, g.metalness, g.specular);
    return p;
}

// The position a view ray reaches: the surface, or the far plane where there is none.
float3 viewRayEnd(float2 viewportUv, LitPixel p, float4x4 invViewProj)
{
    return p.hasGeometry ? p.position : worldPositionAt(viewportUv, 1.0, invViewProj);
}

// Energy of a light at distance d that reaches zero at range: inverse square, windowed.
float distanceFalloff(float d, float range)
{
    float r = max(range, 1e-4);
    float q = d / r;
    q *= q;
    float x = saturate(1.0 - q * q);
    return x * x / (d * d + 1.0);
}

// Fraction of light reaching a point whose shadow-map coordinates are uv (0..1, top-left
// origin) and depth (of the point itself), with a 3 x 3 grid of bilinear comparisons
// (a 4 x 4 texel footprint). Outside the map everything is lit.
float shadowFilter(Texture2D map, float2 uv, float depth, float texelSize)
{
    if (any(uv < 0.0) || any(uv > 1.0) || depth >= 1.0)
        return 1.0;
    float sum = 0.0;
    [loop] for (int k = 0; k < 9; ++k)
    {
        float2 offset = float2(k % 3 - 1, k / 3 - 1);
        sum += map.SampleCmpLevelZero(gShadowSampler, uv + offset * texelSize, depth);
    }
    return sum * (1.0 / 9.0);
}

// Clip position of a light's shadow projection -> map uv (top-left origin) and depth.
float3 shadowMapCoord(float4 clip)
{
    float w = abs(clip.w) > 1e-12 ? clip.w : 1e-12;
    float3 ndc = clip.xyz / w;
    return float3(ndc.x * 0.5 + 0.5, 0.5 - ndc.y * 0.5, clip.w > 0.0 ? ndc.z : 2.0);
}

// Interleaved gradient noise in [0, 1): a per-pixel offset that turns the banding of a
// ray march into fine grain.
float pixelNoise(float2 pixel)
{
    return frac(52.9829189 * frac(dot(pixel, float2(0.06711056, 0.00583715))));
}

// In-scattered light of a point light along a view segment: the inverse-square integral
// over the part of the segment inside the light's radius, in closed form
// (integral of dt / (h^2 + 1 + (t - tc)^2)), faded by how close the ray passes (falloff as
// the exponent).
float pointScattering(float3 eye, float3 rayEnd, float3 light, float radius, float falloff)
{
    float3 ray = rayEnd - eye;
    float len = length(ray);
    if (len <= 1e-6)
        return 0.0;
    float3 dir = ray / len;
    float3 rel = light - eye;
    float tc = dot(rel, dir);
    float h2 = max(dot(rel, rel) - tc * tc, 0.0);
    float r = max(radius, 1e-4);
    if (h2 >= r * r)
        return 0.0;
    float halfChord = sqrt(r * r - h2);
    float t0 = max(0.0, tc - halfChord);
    float t1 = min(len, tc + halfChord);
    if (t1 <= t0)
        return 0.0;
    float H = sqrt(h2 + 1.0);
    float integral = (atan((t1 - tc) / H) - atan((t0 - tc) / H)) / H;
    return integral * pow(saturate(1.0 - sqrt(h2) / r), max(falloff, 0.0));
}

#endif
