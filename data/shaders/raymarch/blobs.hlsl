// A ray-marched scene for the "RayMarching" operator: four soft blobs that orbit and melt
// into each other above the origin, written into the G-buffer with depth so that they
// intersect rasterised geometry.
//
// gParam1: albedo (rgb) and roughness (w). gParam2: metalness (x), rim glow (y), size (z,
// the blobs' radius is half of it), speed (w).
#include "../common/fullscreen.hlsli"
#include "../common/gbuffer.hlsli"

cbuffer RayMarchConstants : register(b0)
{
    float4x4 gView;          // world -> view (row vectors)
    float4x4 gProj;
    float4x4 gViewProjPrev;  // last frame's view x projection, for motion
    float4 gParam1;
    float4 gParam2;
    float4 gCamPos;
    float4 gCamDir;
    float2 gResolution;
    float2 gRegionScale;
    float gTime;
    float gFOV;
};

static const int kMaxSteps = 64;

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float smoothMin(float a, float b, float k)
{
    float h = saturate(0.5 + 0.5 * (b - a) / k);
    return lerp(b, a, h) - k * h * (1.0 - h);
}

float sceneSize()
{
    return max(abs(gParam2.z), 0.05);
}

float3 blobCentre(int i)
{
    float size = sceneSize();
    float phase = gTime * gParam2.w + float(i) * 1.5708;
    float radius = (0.6 + 0.25 * float(i)) * size;
    return float3(sin(phase) * radius, size * (1.0 + 0.35 * sin(phase * 1.3 + float(i))), cos(phase) * radius);
}

float distanceToScene(float3 p)
{
    float r = 0.5 * sceneSize();
    float d = length(p - blobCentre(0)) - r;
    [unroll] for (int i = 1; i < 4; ++i)
        d = smoothMin(d, length(p - blobCentre(i)) - r * (1.0 - 0.12 * float(i)), 0.35 * r);
    return d;
}

float3 sceneNormal(float3 p, float eps)
{
    const float2 k = float2(1.0, -1.0);
    return normalize(k.xyy * distanceToScene(p + k.xyy * eps) + k.yyx * distanceToScene(p + k.yyx * eps) +
                     k.yxy * distanceToScene(p + k.yxy * eps) + k.xxx * distanceToScene(p + k.xxx * eps));
}

struct RayMarchOutput
{
    float4 albedo : SV_Target0;
    float4 normalDepth : SV_Target1;
    float4 material : SV_Target2;
    float4 emissive : SV_Target3;
    float2 velocity : SV_Target4;
    float depth : SV_Depth;
};

RayMarchOutput PS(FullscreenVertex i)
{
    // The view ray of this pixel (perspective projection), into world space: the view matrix
    // is a rotation and a translation, so its upper 3 x 3 transposed undoes the rotation.
    float2 ndc = viewportUvToNdc(i.uv);
    float3 viewDir = normalize(float3((ndc.x - gProj[2][0]) / gProj[0][0], (ndc.y - gProj[2][1]) / gProj[1][1], 1.0));
    float3 dir = mul((float3x3)gView, viewDir);
    float3 origin = gCamPos.xyz;

    // March only inside the sphere that holds every blob.
    float size = sceneSize();
    float3 centre = float3(0.0, size, 0.0);
    float bound = 2.2 * size;
    float3 oc = origin - centre;
    float b = dot(oc, dir);
    float c = dot(oc, oc) - bound * bound;
    float disc = b * b - c;
    if (disc < 0.0)
        discard;
    float tEnter = max(-b - sqrt(disc), 0.0);
    float tExit = -b + sqrt(disc);
    if (tExit <= 0.0)
        discard;
    float t = tEnter;
    bool hit = false;
    for (int s = 0; s < kMaxSteps && t < tExit; ++s)
    {
        float d = distanceToScene(origin + dir * t);
        if (d < 1e-3 * max(t, 1.0))
        {
            hit = true;
            break;
        }
        t += d;
    }
    if (!hit)
        discard;

    float3 p = origin + dir * t;
    float3 n = sceneNormal(p, 1e-3 * max(size, 0.1));
    float4 viewPos = mul(float4(p, 1.0), gView);
    float4 clip = mul(viewPos, gProj);
    float4 clipPrev = mul(float4(p, 1.0), gViewProjPrev);
    float rim = pow(saturate(1.0 - abs(dot(n, -dir))), 3.0);

    GBufferSurface surface;
    surface.albedo = saturate(gParam1.rgb);
    surface.viewNormal = mul(float4(n, 0.0), gView).xyz;
    surface.viewDepth = viewPos.z;
    surface.roughness = saturate(gParam1.w);
    surface.metalness = saturate(gParam2.x);
    surface.specular = 0.5;
    surface.iblMultiplier = 1.0;
    surface.emissive = surface.albedo * (max(gParam2.y, 0.0) * 0.5 * rim);
    surface.velocity = screenVelocity(clip, clipPrev, gRegionScale);
    GBufferOutput g = encodeGBuffer(surface);

    RayMarchOutput o;
    o.albedo = g.albedo;
    o.normalDepth = g.normalDepth;
    o.material = g.material;
    o.emissive = g.emissive;
    o.velocity = g.velocity;
    o.depth = saturate(clip.z / clip.w);
    return o;
}
