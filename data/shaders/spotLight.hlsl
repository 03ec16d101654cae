// A spot light drawn as its cone volume into the light map: a cone with a soft edge and a
// range of FarPlane, a perspective shadow map, and in-scattering marched along the view ray
// (optionally shadowed).
#include "common/gbuffer.hlsli"
#include "common/lighting.hlsli"

cbuffer SpotLightConstants : register(b0)
{
    float4x4 gWorldViewProj;     // the cone volume
    float4x4 gInvWorldViewProj;  // inverse of view x projection
    float4x4 gInvView;           // the camera matrix
    float4x4 gLightWVP;          // world -> the spot's shadow map
    float4 gEyePos;
    float4 gLightPos;
    float4 gLightCol;            // multiplied by the brightness
    float4 gLightDir;            // unit length, where the spot points
    float4 gLightScattParams;    // density, multiplier, falloff, shadows in the scattering
    float2 gRegionScale;
    float2 gRegionOffset;
    float gLightHeight;          // the far plane: the light's range
    float gLightCosAngle;        // cosine of half the cone angle
    float gShadows;
    float gScattSteps;
};

Texture2D gSpotShadowMap : register(t5);

struct VolumeVertex
{
    float4 pos : SV_POSITION;
    float4 clip : TEXCOORD0;
};

VolumeVertex VS(float3 pos : POSITION)
{
    VolumeVertex o;
    o.pos = mul(float4(pos, 1.0), gWorldViewProj);
    o.clip = o.pos;
    return o;
}

// The cosines where the cone's soft edge starts and ends: it spans the outer fifth of the
// half angle.
float2 coneEdges()
{
    float cosOuter = clamp(gLightCosAngle, -1.0, 1.0);
    float cosInner = cos(acos(cosOuter) * 0.8);
    return float2(cosOuter, max(cosInner, cosOuter + 1e-4));
}

// Light arriving at pos from the spot (cone, soft edge, range), before shadows; d is the
// distance to the light.
float spotFactor(float3 pos, float2 edges, out float3 L, out float d)
{
    float3 toLight = gLightPos.xyz - pos;
    d = length(toLight);
    L = directionOr(toLight, -gLightDir.xyz);
    float cone = smoothstep(edges.x, edges.y, dot(-L, gLightDir.xyz));
    return cone * distanceFalloff(d, gLightHeight);
}

// Fraction of the spot's light reaching pos (normal n, 0 for points in the air).
float spotShadow(float3 pos, float3 n, float3 L)
{
    float cosA = clamp(gLightCosAngle, 1e-3, 1.0);
    float tanHalf = sqrt(saturate(1.0 - cosA * cosA)) / cosA;
    float d = max(dot(pos - gLightPos.xyz, gLightDir.xyz), 1.0);
    float texel = 2.0 * d * tanHalf / 2048.0;
    float3 offset = pos + n * (1.5 * texel) + L * texel;
    float3 c = shadowMapCoord(mul(float4(offset, 1.0), gLightWVP));
    return shadowFilter(gSpotShadowMap, c.xy, c.z, 1.0 / 2048.0);
}

// spotShadow for a point in the air: one comparison, where a surface takes the mean of nine
// (the march's jittered steps already average across the shadow's edge).
float spotShadowInAir(float3 pos, float3 L, float texelPerDistance)
{
    float d = max(dot(pos - gLightPos.xyz, gLightDir.xyz), 1.0);
    float texel = d * texelPerDistance;
    float3 c = shadowMapCoord(mul(float4(pos + L * texel, 1.0), gLightWVP));
    if (any(c.xy < 0.0) || any(c.xy > 1.0) || c.z >= 1.0)
        return 1.0;
    return gSpotShadowMap.SampleCmpLevelZero(gShadowSampler, c.xy, c.z);
}

// The part [ta, tb] of the line eye + t dir (dir unit length) inside the cone of cosine
// cosOuter around the spot's axis, on the light's side of its apex. False when the line
// misses it; when the line runs too close to parallel to the cone's side for the roots to
// be trusted, the whole line.
bool coneSpan(float3 eye, float3 dir, float cosOuter, out float ta, out float tb)
{
    ta = -3.0e38;
    tb = 3.0e38;
    float3 w = eye - gLightPos.xyz;
    float uD = dot(dir, gLightDir.xyz), wD = dot(w, gLightDir.xyz);
    float c2 = cosOuter * cosOuter;
    // (axial distance)^2 - c2 (distance)^2 along the line: a t^2 + b t + c.
    float a = uD * uD - c2;
    float b = 2.0 * (uD * wD - c2 * dot(dir, w));
    float c = wD * wD - c2 * dot(w, w);
    if (abs(a) < 1e-3)
        return true;
    float disc = b * b - 4.0 * a * c;
    if (a < 0.0)
    {
        // The line is steeper than the cone's side: inside between the roots, on one side.
        if (disc <= 0.0)
            return false;
        float root = sqrt(disc);
        ta = (-b + root) / (2.0 * a);
        tb = (-b - root) / (2.0 * a);
        return wD + 0.5 * (ta + tb) * uD > 0.0;
    }
    // The line runs within the cone's angle: the light's side is a half-line, towards +t
    // when the line follows the axis.
    if (disc <= 0.0)
    {
        if (uD > 0.0)
            ta = -wD / uD;
        else
            tb = -wD / uD;
        return true;
    }
    float root = sqrt(disc);
    if (uD > 0.0)
        ta = (-b + root) / (2.0 * a);
    else
        tb = (-b - root) / (2.0 * a);
    return true;
}

float3 spotScattering(float3 eye, float3 rayEnd, float2 pixel)
{
    float3 ray = rayEnd - eye;
    float len = length(ray);
    if (len <= 1e-6)
        return float3(0.0, 0.0, 0.0);
    float3 dir = ray / len;
    // March only through the sphere of the light's range.
    float3 rel = gLightPos.xyz - eye;
    float tc = dot(rel, dir);
    float h2 = max(dot(rel, rel) - tc * tc, 0.0);
    float range = max(gLightHeight, 1e-4);
    if (h2 >= range * range)
        return float3(0.0, 0.0, 0.0);
    float halfChord = sqrt(range * range - h2);
    float t0 = max(0.0, tc - halfChord);
    float t1 = min(len, tc + halfChord);
    if (t1 <= t0)
        return float3(0.0, 0.0, 0.0);
    int steps = clamp(int(gScattSteps), 1, 128);
    float stepLength = (t1 - t0) / steps;
    float jitter = pixelNoise(pixel);
    bool shadowed = gShadows > 0.5 && gLightScattParams.w > 0.5;
    float2 edges = coneEdges();
    float cosA = clamp(gLightCosAngle, 1e-3, 1.0);
    float texelPerDistance = 2.0 * (sqrt(saturate(1.0 - cosA * cosA)) / cosA) / 2048.0;
    float falloff = max(gLightScattParams.z, 0.0);
    // Steps outside the cone add nothing: march only those that can lie inside a slightly
    // wider cone (a margin over rounding), from one step before it to one step after.
    int first = 0, last = steps;
    float cosWide = edges.x - 0.005;
    if (cosWide > 0.05)
    {
        float ta, tb;
        if (!coneSpan(eye, dir, cosWide, ta, tb))
            return float3(0.0, 0.0, 0.0);
        float kA = (ta - t0) / stepLength - jitter, kB = (tb - t0) / stepLength - jitter;
        first = int(clamp(floor(kA) - 1.0, 0.0, float(steps)));
        last = int(clamp(ceil(kB) + 2.0, 0.0, float(steps)));
    }
    float sum = 0.0;
    for (int k = first; k < last; ++k)
    {
        float3 pos = eye + dir * (t0 + (k + jitter) * stepLength);
        float3 L;
        float d;
        float f = spotFactor(pos, edges, L, d);
        if (f <= 0.0)
            continue;
        f *= pow(saturate(1.0 - d / range), falloff);
        if (shadowed)
            f *= spotShadowInAir(pos, L, texelPerDistance);
        sum += f;
    }
    return gLightCol.rgb * (sum * stepLength * gLightScattParams.x * gLightScattParams.y);
}

float4 PS(VolumeVertex i) : SV_TARGET
{
    float2 uv = clipToViewportUv(i.clip);
    LitPixel p = readLitPixel(uv, gInvWorldViewProj, gInvView, gEyePos.xyz, gRegionScale, gRegionOffset);
    float3 result = float3(0.0, 0.0, 0.0);
    if (p.hasGeometry)
    {
        float3 L;
        float d;
        float f = spotFactor(p.position, coneEdges(), L, d);
        if (f > 0.0)
        {
            if (gShadows > 0.5)
                f *= spotShadow(p.position, p.normal, L);
            result = evaluateBrdfLight(p.normal, p.toEye, L, p.surface, gLightCol.rgb * f);
        }
    }
    if (gLightScattParams.y > 0.0)
        result += spotScattering(gEyePos.xyz, viewRayEnd(uv, p, gInvWorldViewProj), i.pos.xy);
    return float4(result, 1.0);
}
