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

// The cosines where the cone's soft edge starts and ends: it spans the outer fifth of the
// half angle.
float2 coneEdges()
{
    float cosOuter = clamp(gLightCosAngle, -1.0, 1.0);
    float cosInner = cos(acos(cosOuter) * 0.8);
    return float2(cosOuter, max(cosInner, cosOuter + 1e-4));
}

// The constants, and the terms made of constants alone, reach the pixels flat from the
// vertex shader: read from the constant buffer, each would be a load on every pixel.
struct VolumeVertex
{
    float4 pos : SV_POSITION;
    float4 clip : TEXCOORD0;
    nointerpolation float4 invViewProj0 : TEXCOORD1;
    nointerpolation float4 invViewProj1 : TEXCOORD2;
    nointerpolation float4 invViewProj2 : TEXCOORD3;
    nointerpolation float4 invViewProj3 : TEXCOORD4;
    nointerpolation float4 invView0 : TEXCOORD5;
    nointerpolation float4 invView1 : TEXCOORD6;
    nointerpolation float4 invView2 : TEXCOORD7;
    nointerpolation float4 shadow0 : TEXCOORD8;    // gLightWVP by rows
    nointerpolation float4 shadow1 : TEXCOORD9;
    nointerpolation float4 shadow2 : TEXCOORD10;
    nointerpolation float4 shadow3 : TEXCOORD11;
    nointerpolation float4 eye : TEXCOORD12;       // xyz eye, w the range (far plane)
    nointerpolation float4 light : TEXCOORD13;     // xyz position, w tangent of the half angle
    nointerpolation float4 colour : TEXCOORD14;    // rgb colour, w scattering steps (1..128)
    nointerpolation float4 dir : TEXCOORD15;       // xyz unit direction, w 1: shadows
    nointerpolation float4 scatter : TEXCOORD16;   // density, multiplier, falloff (0 or more), 1: shadowed
    nointerpolation float4 region : TEXCOORD17;    // scale, offset
    nointerpolation float2 edges : TEXCOORD18;     // coneEdges()
};

VolumeVertex VS(float3 pos : POSITION)
{
    VolumeVertex o;
    o.pos = mul(float4(pos, 1.0), gWorldViewProj);
    o.clip = o.pos;
    o.invViewProj0 = gInvWorldViewProj[0];
    o.invViewProj1 = gInvWorldViewProj[1];
    o.invViewProj2 = gInvWorldViewProj[2];
    o.invViewProj3 = gInvWorldViewProj[3];
    o.invView0 = gInvView[0];
    o.invView1 = gInvView[1];
    o.invView2 = gInvView[2];
    o.shadow0 = gLightWVP[0];
    o.shadow1 = gLightWVP[1];
    o.shadow2 = gLightWVP[2];
    o.shadow3 = gLightWVP[3];
    float cosA = clamp(gLightCosAngle, 1e-3, 1.0);
    o.eye = float4(gEyePos.xyz, gLightHeight);
    o.light = float4(gLightPos.xyz, sqrt(saturate(1.0 - cosA * cosA)) / cosA);
    o.colour = float4(gLightCol.rgb, float(clamp(int(gScattSteps), 1, 128)));
    o.dir = float4(gLightDir.xyz, gShadows > 0.5 ? 1.0 : 0.0);
    o.scatter = float4(gLightScattParams.xy, max(gLightScattParams.z, 0.0),
                       gShadows > 0.5 && gLightScattParams.w > 0.5 ? 1.0 : 0.0);
    o.region = float4(gRegionScale, gRegionOffset);
    o.edges = coneEdges();
    return o;
}

// What the pixel shader takes from the vertex shader.
struct Spot
{
    float3 position;
    float3 dir;
    float3 colour;
    float range;
    float tanHalf;
    float2 edges;
    float4x4 shadowMatrix;
};

static Spot gSpot;

// Light arriving at pos from the spot (cone, soft edge, range), before shadows; d is the
// distance to the light.
float spotFactor(float3 pos, float2 edges, out float3 L, out float d)
{
    float3 toLight = gSpot.position - pos;
    d = length(toLight);
    L = directionOr(toLight, -gSpot.dir);
    float cone = smoothstep(edges.x, edges.y, dot(-L, gSpot.dir));
    return cone * distanceFalloff(d, gSpot.range);
}

// Fraction of the spot's light reaching pos (normal n, 0 for points in the air).
float spotShadow(float3 pos, float3 n, float3 L)
{
    float d = max(dot(pos - gSpot.position, gSpot.dir), 1.0);
    float texel = 2.0 * d * gSpot.tanHalf / 2048.0;
    float3 offset = pos + n * (1.5 * texel) + L * texel;
    float3 c = shadowMapCoord(mul(float4(offset, 1.0), gSpot.shadowMatrix));
    return shadowFilter(gSpotShadowMap, c.xy, c.z, 1.0 / 2048.0);
}

// spotShadow for a point in the air: one comparison, where a surface takes the mean of nine
// (the march's jittered steps already average across the shadow's edge).
float spotShadowInAir(float3 pos, float3 L, float texelPerDistance)
{
    float d = max(dot(pos - gSpot.position, gSpot.dir), 1.0);
    float texel = d * texelPerDistance;
    float3 c = shadowMapCoord(mul(float4(pos + L * texel, 1.0), gSpot.shadowMatrix));
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
    float3 w = eye - gSpot.position;
    float uD = dot(dir, gSpot.dir), wD = dot(w, gSpot.dir);
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

float3 spotScattering(float3 eye, float3 rayEnd, float2 pixel, float4 scatter, float steps, bool shadowed)
{
    float3 ray = rayEnd - eye;
    float len = length(ray);
    if (len <= 1e-6)
        return float3(0.0, 0.0, 0.0);
    float3 dir = ray / len;
    // March only through the sphere of the light's range.
    float3 rel = gSpot.position - eye;
    float tc = dot(rel, dir);
    float h2 = max(dot(rel, rel) - tc * tc, 0.0);
    float range = max(gSpot.range, 1e-4);
    if (h2 >= range * range)
        return float3(0.0, 0.0, 0.0);
    float halfChord = sqrt(range * range - h2);
    float t0 = max(0.0, tc - halfChord);
    float t1 = min(len, tc + halfChord);
    if (t1 <= t0)
        return float3(0.0, 0.0, 0.0);
    float stepLength = (t1 - t0) / steps;
    float jitter = pixelNoise(pixel);
    float2 edges = gSpot.edges;
    float texelPerDistance = 2.0 * gSpot.tanHalf / 2048.0;
    float falloff = scatter.z;
    // Steps outside the cone add nothing: march only those that can lie inside a slightly
    // wider cone (a margin over rounding), from one step before it to one step after.
    int first = 0, last = int(steps);
    float cosWide = edges.x - 0.005;
    if (cosWide > 0.05)
    {
        float ta, tb;
        if (!coneSpan(eye, dir, cosWide, ta, tb))
            return float3(0.0, 0.0, 0.0);
        float kA = (ta - t0) / stepLength - jitter, kB = (tb - t0) / stepLength - jitter;
        first = int(clamp(floor(kA) - 1.0, 0.0, steps));
        last = int(clamp(ceil(kB) + 2.0, 0.0, steps));
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
    return gSpot.colour * (sum * stepLength * scatter.x * scatter.y);
}

// scatters is a literal in each entry below: the entry without in-scattering leaves the
// march out altogether. In one program the march would still cost every pixel of a light
// that has none, since a CPU driver runs both sides of a branch, even one on a flat input.
float4 lightPixel(VolumeVertex i, bool scatters)
{
    gSpot.position = i.light.xyz;
    gSpot.dir = i.dir.xyz;
    gSpot.colour = i.colour.rgb;
    gSpot.range = i.eye.w;
    gSpot.tanHalf = i.light.w;
    gSpot.edges = i.edges.xy;
    gSpot.shadowMatrix = float4x4(i.shadow0, i.shadow1, i.shadow2, i.shadow3);
    float2 uv = clipToViewportUv(i.clip);
    float4x4 invViewProj = float4x4(i.invViewProj0, i.invViewProj1, i.invViewProj2, i.invViewProj3);
    float4x4 invView = float4x4(i.invView0, i.invView1, i.invView2, float4(0.0, 0.0, 0.0, 1.0));
    LitPixel p = readLitPixel(uv, invViewProj, invView, i.eye.xyz, i.region.xy, i.region.zw);
    float3 result = float3(0.0, 0.0, 0.0);
    if (p.hasGeometry)
    {
        float3 L;
        float d;
        float f = spotFactor(p.position, gSpot.edges, L, d);
        if (f > 0.0)
        {
            if (i.dir.w > 0.5)
                f *= spotShadow(p.position, p.normal, L);
            result = evaluateBrdfLight(p.normal, p.toEye, L, p.surface, gSpot.colour * f);
        }
    }
    if (scatters && i.scatter.y > 0.0)
        result += spotScattering(i.eye.xyz, viewRayEnd(uv, p, invViewProj), i.pos.xy, i.scatter, i.colour.w,
                                 i.scatter.w > 0.5);
    return float4(result, 1.0);
}

float4 PS(VolumeVertex i) : SV_TARGET
{
    return lightPixel(i, true);
}

// For a light whose scattering multiplier is 0 or below, which PS gives the same pixels.
float4 PSUnscattered(VolumeVertex i) : SV_TARGET
{
    return lightPixel(i, false);
}
