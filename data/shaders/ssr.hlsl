// Screen-space reflections, first pass: for every pixel of the viewport with geometry, the
// view ray is reflected about the G-buffer normal and marched across the screen in view
// space against the G-buffer's linear depth (a perspective-correct walk in pixel steps:
// one sample every 1 + gStride * (1 - min(1, z * gStrideZCutoff)) pixels, so distant
// surfaces take finer steps, at most gMaxSteps samples). The ray hits where it passes
// behind the depth buffer by no more than gZThickness. The result is the input picture at
// the hit in rgb and how much of it to show in alpha: the surface's Fresnel reflectance
// (from its specular intensity, metalness and albedo) times (1 - roughness)^2, faded
// towards the viewport's edges and the end of the march; 0 where nothing was hit.
//
// Most rays leave the floor towards the sky or over open space, where no sample can hit:
// TilePS first writes the nearest depth of every kTile x kTile block of the viewport (with
// a pixel of margin all round), and the march crosses a block in one go wherever the ray
// stays in front of all of it. It still takes the same steps: a block is crossed only when
// none of the steps inside it could hit, so what it finds is what the pixel walk finds.
//
// ReflectedTilePS then marks the blocks where this pass left a reflection, so that the blur
// and the composite (ssrBlur.hlsl) draw only the blocks near one: elsewhere they would
// write the nothing their targets were cleared to.
#include "common/fullscreen.hlsli"
#include "common/gbuffer.hlsli"
#include "common/color.hlsli"

cbuffer SSRConstants : register(b0)
{
    float4x4 gProj;
    float4x4 gInvView;  // the camera matrix, for shaders that want world space
    float2 gRegionScale;
    float2 gRegionOffset;
    float2 gRegionSize;  // viewport width and height in pixels
    float gStrideZCutoff;
    float gZThickness;
    float gStride;
    float gMaxSteps;
};

Texture2D gInput : register(t0);
Texture2D gNormalDepth : register(t1);
Texture2D gMaterial : register(t2);
Texture2D gAlbedo : register(t3);
Texture2D gTileMinDepth : register(t4);  // from TilePS
Texture2D gReflections : register(t5);   // ReflectedTilePS: what PS drew
SamplerState gInputSampler : register(s0);
SamplerState gNormalSampler : register(s1);
SamplerState gMaterialSampler : register(s2);
SamplerState gAlbedoSampler : register(s3);
SamplerState gTileSampler : register(s4);
SamplerState gReflectionsSampler : register(s5);

static const float kRayLength = 1000.0;
static const uint kStepLimit = 1024;
static const int kTile = 16;  // SSROp sizes the block target by the same edge

// The full-screen triangle with every constant handed on flat: a constant the pixels read
// would be a load on every pixel (and every step of the march).
struct SsrVertex
{
    float4 pos : SV_POSITION;
    float2 uv : TEXCOORD0;
    nointerpolation float4 proj0 : TEXCOORD1;  // the rows of gProj
    nointerpolation float4 proj1 : TEXCOORD2;
    nointerpolation float4 proj2 : TEXCOORD3;
    nointerpolation float4 proj3 : TEXCOORD4;
    nointerpolation float4 region : TEXCOORD5;  // gRegionScale, gRegionOffset
    nointerpolation float4 march : TEXCOORD6;   // gRegionSize, gStrideZCutoff, gZThickness
    nointerpolation float2 steps : TEXCOORD7;   // gStride, gMaxSteps
};

SsrVertex VS(uint id : SV_VertexID)
{
    FullscreenVertex f = fullscreenTriangle(id);
    SsrVertex o;
    o.pos = f.pos;
    o.uv = f.uv;
    o.proj0 = gProj[0];
    o.proj1 = gProj[1];
    o.proj2 = gProj[2];
    o.proj3 = gProj[3];
    o.region = float4(gRegionScale, gRegionOffset);
    o.march = float4(gRegionSize, gStrideZCutoff, gZThickness);
    o.steps = float2(gStride, gMaxSteps);
    return o;
}

float2 ndcToPixel(float2 ndc, float2 regionSize)
{
    return float2(ndc.x * 0.5 + 0.5, 0.5 - ndc.y * 0.5) * regionSize;
}

float sceneDepthAt(float2 pixel, float2 regionSize, float4 region)
{
    float2 uv = regionToSource(pixel / regionSize, region.xy, region.zw);
    return decodeGBuffer(0, gNormalDepth.SampleLevel(gNormalSampler, uv, 0), 0, 0, 0).viewDepth;
}

// The nearest linear depth over the block of viewport pixels this target pixel stands for,
// one pixel wider on every side than the block: a sample near a block's edge may read the
// texel next to it by float rounding.
float TilePS(SsrVertex i) : SV_TARGET
{
    int2 first = int2(i.pos.xy) * kTile - 1;
    int2 last = min(first + kTile + 1, int2(gRegionSize) - 1);
    first = max(first, int2(0, 0));
    float nearest = kGBufferNothing;
    for (int y = first.y; y <= last.y; ++y)
        for (int x = first.x; x <= last.x; ++x)
            nearest = min(nearest, sceneDepthAt(float2(x, y) + 0.5, gRegionSize, float4(gRegionScale, gRegionOffset)));
    return nearest;
}

// 1 where a pixel of this block of the viewport holds a reflection (an amount other than
// zero), else 0.
float ReflectedTilePS(SsrVertex i) : SV_TARGET
{
    int2 first = int2(i.pos.xy) * kTile;
    int2 last = min(first + kTile, int2(gRegionSize)) - 1;
    float reflects = 0.0;
    for (int y = first.y; y <= last.y; ++y)
        for (int x = first.x; x <= last.x; ++x)
        {
            float2 uv = regionToSource((float2(x, y) + 0.5) / gRegionSize, gRegionScale, gRegionOffset);
            reflects = gReflections.SampleLevel(gReflectionsSampler, uv, 0).a != 0.0 ? 1.0 : reflects;
        }
    return reflects;
}

float4 PS(SsrVertex i) : SV_TARGET
{
    float4x4 proj = float4x4(i.proj0, i.proj1, i.proj2, i.proj3);
    float2 regionSize = i.march.xy;
    float4 region = i.region;
    float2 uv = regionToSource(i.uv, region.xy, region.zw);
    GBufferSample g = decodeGBuffer(gAlbedo.SampleLevel(gAlbedoSampler, uv, 0),
                                    gNormalDepth.SampleLevel(gNormalSampler, uv, 0),
                                    gMaterial.SampleLevel(gMaterialSampler, uv, 0), 0, 0);
    if (!g.hasGeometry || g.viewDepth >= kGBufferNothing * 0.5)
        return 0;

    float3 P = viewPositionFromLinearDepth(i.uv, g.viewDepth, proj);
    float3 N = normalize(g.viewNormal);
    float3 V = normalize(P);
    float3 R = reflect(V, N);
    float3 f0 = lerp(0.04 * saturate(g.specular).xxx, saturate(g.albedo), saturate(g.metalness));
    float3 fresnel = f0 + (1.0 - f0) * pow(1.0 - saturate(dot(-V, N)), 5.0);
    float gloss = 1.0 - saturate(g.roughness);
    float amount = luminance(fresnel) * gloss * gloss;
    if (amount < 1e-3)
        return 0;

    // The ray ends at kRayLength or where it would cross the near plane.
    float zNear = -proj[3][2] / proj[2][2];
    float rayLength = (P.z + R.z * kRayLength < zNear) ? (zNear - P.z) / R.z * 0.99 : kRayLength;
    float3 E = P + R * rayLength;
    float4 h0 = mul(float4(P, 1.0), proj);
    float4 h1 = mul(float4(E, 1.0), proj);
    float k0 = 1.0 / h0.w, k1 = 1.0 / h1.w;
    float q0 = P.z * k0, q1 = E.z * k1;  // z / w interpolates linearly in screen space
    float2 p0 = ndcToPixel(h0.xy * k0, regionSize), p1 = ndcToPixel(h1.xy * k1, regionSize);
    if (dot(p1 - p0, p1 - p0) < 1e-4)
        p1 += 0.01;
    float2 delta = p1 - p0;
    bool permute = abs(delta.x) < abs(delta.y);
    if (permute)
    {
        delta = delta.yx;
        p0 = p0.yx;
        p1 = p1.yx;
    }
    float stepDir = delta.x < 0.0 ? -1.0 : 1.0;
    float invDx = stepDir / delta.x;
    float stride = 1.0 + (1.0 - min(1.0, P.z * i.march.z)) * i.steps.x;
    float2 dp = float2(stepDir, delta.y * invDx) * stride;
    float dq = (q1 - q0) * invDx * stride;
    float dk = (k1 - k0) * invDx * stride;

    // The block's nearest depth is read through a point sampler at the texel's centre, not
    // loaded: the same texel, and on a CPU driver a point read costs less than a load in a
    // loop that runs every step (about a tenth of the reflections' time).
    uint tilesW, tilesH;
    gTileMinDepth.GetDimensions(tilesW, tilesH);
    float2 invTiles = 1.0 / float2(tilesW, tilesH);
    float2 p = p0 + dp;
    float q = q0 + dq, k = k0 + dk;
    float previousZ = P.z;
    float pEnd = p1.x * stepDir;
    float2 hitPixel = 0;
    bool hit = false;
    float steps = 0;
    uint maxSteps = uint(clamp(i.steps.y, 0.0, float(kStepLimit)));
    float2 pixelStep = permute ? dp.yx : dp;
    float2 invPixelStep = float2(pixelStep.x != 0.0 ? 1.0 / pixelStep.x : 0.0, pixelStep.y != 0.0 ? 1.0 / pixelStep.y : 0.0);
    for (uint s = 0; s < maxSteps;)
    {
        if (p.x * stepDir > pEnd)
            break;
        float2 pixel = permute ? p.yx : p;
        if (pixel.x < 0.0 || pixel.y < 0.0 || pixel.x >= regionSize.x || pixel.y >= regionSize.y)
            break;
        // The steps from this one on that stay in this pixel's block, and the deepest the ray
        // gets over them (depth along a line is monotonic in the step).
        int2 tile = int2(pixel) / kTile;
        float2 low = float2(tile * kTile);
        float2 across = pixelStep > 0.0 ? ceil((low + float(kTile) - pixel) * invPixelStep)
                                        : floor((pixel - low) * -invPixelStep) + 1.0;
        across = pixelStep != 0.0 ? across : float(kStepLimit);
        float n = max(min(across.x, across.y), 1.0);
        float zEnd = (q + dq * (n - 0.5)) / (k + dk * (n - 0.5));
        if (max(previousZ, zEnd) < gTileMinDepth.SampleLevel(gTileSampler, (float2(tile) + 0.5) * invTiles, 0).r)
        {
            p += dp * n;
            q += dq * n;
            k += dk * n;
            previousZ = zEnd;
            s += uint(n);
            continue;
        }
        float zMin = previousZ;
        float zMax = (q + dq * 0.5) / (k + dk * 0.5);
        previousZ = zMax;
        if (zMin > zMax)
        {
            float t = zMin;
            zMin = zMax;
            zMax = t;
        }
        float sceneZ = sceneDepthAt(pixel, regionSize, region);
        if (zMax >= sceneZ && zMin <= sceneZ + i.march.w)
        {
            hit = true;
            hitPixel = pixel;
            steps = float(s);
            break;
        }
        p += dp;
        q += dq;
        k += dk;
        ++s;
    }
    if (!hit)
        return 0;

    float border = 0.05 * min(regionSize.x, regionSize.y);
    float2 toEdge = min(hitPixel, regionSize - hitPixel);
    float edgeFade = saturate(min(toEdge.x, toEdge.y) / max(border, 1.0));
    float stepFade = 1.0 - pow(steps / max(float(maxSteps), 1.0), 4.0);
    float3 colour = gInput.SampleLevel(gInputSampler, regionToSource(hitPixel / regionSize, region.xy, region.zw), 0).rgb;
    return float4(colour, amount * edgeFade * stepFade);
}
