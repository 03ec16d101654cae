// The G-buffer: what each of the five targets holds, written by every pass that draws
// geometry and read by every pass that lights or post-processes it. Writers encode through
// encodeGBuffer, readers decode through decodeGBuffer and the position helpers below; no
// pass reads or writes a target's channels by hand.
//
//   target 0 (RGBA16F) albedo:   rgb base colour (linear), a = 1 where geometry was drawn
//                                (cleared to 0: background)
//   target 1 (RGBA16F) normal:   xyz view-space unit normal, w = linear view-space depth
//                                (distance along the camera's +Z; cleared to 65504: nothing)
//   target 2 (RGBA16F) material: x roughness, y metalness, z specular intensity,
//                                w image-based-lighting multiplier (cleared to 65504, 65504, 65504, 0)
//   target 3 (RGBA16F) emissive: rgb emitted light (decals add here too; the lighting's
//                                combine reads it), a unused (0)
//   target 4 (RG16F)   velocity: screen-space motion over the last 1/1000 s, current minus
//                                previous position, in uv units of the whole target
//                                (x to the right, y downward)
//
// Matrices follow the CPU side: row vectors (mul(v, M)), left-handed, the camera looks
// along +Z; projections map depth 0 to the near plane and 1 to the far plane.
#ifndef COMMON_GBUFFER_HLSLI
#define COMMON_GBUFFER_HLSLI

static const float kGBufferNothing = 65504.0;  // depth of a pixel without geometry

// ------------------------------------------------------------------ writers

struct GBufferOutput
{
    float4 albedo : SV_Target0;
    float4 normalDepth : SV_Target1;
    float4 material : SV_Target2;
    float4 emissive : SV_Target3;
    float2 velocity : SV_Target4;
};

// One surface point as a writer knows it.
struct GBufferSurface
{
    float3 albedo;
    float3 viewNormal;   // need not be unit length
    float viewDepth;     // linear, along +Z of the camera
    float roughness;
    float metalness;
    float specular;      // specular intensity
    float iblMultiplier;
    float3 emissive;
    float2 velocity;     // from screenVelocity()
};

GBufferOutput encodeGBuffer(GBufferSurface s)
{
    GBufferOutput o;
    o.albedo = float4(s.albedo, 1.0);
    float len = length(s.viewNormal);
    float3 n = len > 0.0 ? s.viewNormal / len : float3(0.0, 0.0, -1.0);
    o.normalDepth = float4(n, s.viewDepth);
    o.material = float4(s.roughness, s.metalness, s.specular, s.iblMultiplier);
    o.emissive = float4(s.emissive, 0.0);
    o.velocity = s.velocity;
    return o;
}

// Clip-space position -> uv over the viewport being drawn ((0, 0) top-left).
float2 clipToViewportUv(float4 clip)
{
    float2 ndc = clip.xy / clip.w;
    return float2(ndc.x * 0.5 + 0.5, 0.5 - ndc.y * 0.5);
}

// Motion of a pixel between the previous and the current position, in uv units of the
// whole target (the viewport covers regionScale of it).
float2 screenVelocity(float4 clipNow, float4 clipPrev, float2 regionScale)
{
    return (clipToViewportUv(clipNow) - clipToViewportUv(clipPrev)) * regionScale;
}

// Specular intensity of a specular colour.
float specularIntensity(float3 specularColour)
{
    return dot(specularColour, float3(1.0 / 3.0, 1.0 / 3.0, 1.0 / 3.0));
}

// The per-object constants of every mesh draw, for the b0 buffer of a G-buffer writer
// (a writer may add its own constants after them):
//     cbuffer ObjectConstants : register(b0) { GBUFFER_OBJECT_CONSTANTS float2 gSize; };
#define GBUFFER_OBJECT_CONSTANTS \
    float4x4 gWorldViewProj;     \
    float4x4 gWorldViewProjPrev; \
    float4x4 gWorldView;         \
    float4x4 gInvTransWorldView; \
    float4x4 gProj;              \
    float4x4 gView;              \
    float4 gBaseColor;           \
    float4 gSpecularMapColor;    \
    float4 gEmissiveColor;       \
    float2 gRegionScale;         \
    float2 gRegionOffset;        \
    float2 gTileUV;              \
    float gRoughness;            \
    float gMetalness;

// What a G-buffer vertex stage hands on. Points drawn without a geometry stage need a
// point size on Vulkan (Direct3D always draws one pixel).
#ifdef VULKAN
#define GBUFFER_POINT_SIZE [[vk::builtin("PointSize")]] float pointSize : PSIZE;
#define GBUFFER_SET_POINT_SIZE(o) o.pointSize = 1.0
#else
#define GBUFFER_POINT_SIZE
#define GBUFFER_SET_POINT_SIZE(o)
#endif

#define GBUFFER_VERTEX_FIELDS          \
    float4 pos : SV_Position;          \
    float4 clipNow : TEXCOORD5;        \
    float4 clipPrev : TEXCOORD6;       \
    float3 viewPos : TEXCOORD7;        \
    float3 viewNormal : NORMAL0;       \
    float2 uv : TEXCOORD0;

struct GBufferVertexOut
{
    GBUFFER_VERTEX_FIELDS
    GBUFFER_POINT_SIZE
};

struct GBufferPixelIn
{
    GBUFFER_VERTEX_FIELDS
};

// A local-space vertex through the object's matrices (row vectors).
GBufferVertexOut gbufferVertex(float4 localPos, float3 localNormal, float2 uv, float4x4 worldViewProj,
                               float4x4 worldViewProjPrev, float4x4 worldView, float4x4 invTransWorldView)
{
    GBufferVertexOut o;
    o.pos = mul(localPos, worldViewProj);
    o.clipNow = o.pos;
    o.clipPrev = mul(localPos, worldViewProjPrev);
    o.viewPos = mul(localPos, worldView).xyz;
    o.viewNormal = mul(float4(localNormal, 0.0), invTransWorldView).xyz;
    o.uv = uv;
    GBUFFER_SET_POINT_SIZE(o);
    return o;
}

// Tangent-space normal from a normal-map texel: 0x80 is zero, so the flat texel
// (0x80, 0x80, 0xFF) leaves the normal exactly as it is.
float3 decodeNormalMap(float3 texel)
{
    float2 xy = clamp((texel.xy * 255.0 - 128.0) / 127.0, -1.0, 1.0);
    return float3(xy, texel.z * 2.0 - 1.0);
}

// Perturbs a view-space normal by a tangent-space one, with the tangent frame taken from
// the screen derivatives of position and uv (no tangent stream needed). The derivatives come
// before the flat-texel test: a pixel whose neighbour returned early would otherwise read
// undefined differences, and surfaces sparkle along the edges of flat regions.
float3 perturbNormal(float3 n, float3 viewPos, float2 uv, float3 tangentNormal)
{
    float3 dp1 = ddx(viewPos), dp2 = ddy(viewPos);
    float2 duv1 = ddx(uv), duv2 = ddy(uv);
    if (tangentNormal.x == 0.0 && tangentNormal.y == 0.0)
        return n;
    float3 dp2perp = cross(dp2, n);
    float3 dp1perp = cross(n, dp1);
    float3 t = dp2perp * duv1.x + dp1perp * duv2.x;
    float3 b = dp2perp * duv1.y + dp1perp * duv2.y;
    float m = max(dot(t, t), dot(b, b));
    if (m < 1e-20)
        return n;
    float orientation = dot(n, cross(dp1, dp2)) < 0.0 ? -1.0 : 1.0;
    float s = orientation * rsqrt(m);
    return normalize(t * s * tangentNormal.x + b * s * tangentNormal.y + n * tangentNormal.z);
}

// ------------------------------------------------------------------ readers

struct GBufferSample
{
    bool hasGeometry;
    float3 albedo;
    float3 viewNormal;
    float viewDepth;
    float roughness;
    float metalness;
    float specular;
    float iblMultiplier;
    float3 emissive;
    float2 velocity;
};

GBufferSample decodeGBuffer(float4 albedo, float4 normalDepth, float4 material, float4 emissive, float2 velocity)
{
    GBufferSample s;
    s.hasGeometry = albedo.a > 0.5;
    s.albedo = albedo.rgb;
    s.viewNormal = normalDepth.xyz;
    s.viewDepth = normalDepth.w;
    s.roughness = material.x;
    s.metalness = material.y;
    s.specular = material.z;
    s.iblMultiplier = material.w;
    s.emissive = emissive.rgb;
    s.velocity = velocity;
    return s;
}

// uv over the viewport ((0, 0) top-left) -> normalised device coordinates.
float2 viewportUvToNdc(float2 uv)
{
    return float2(uv.x * 2.0 - 1.0, 1.0 - uv.y * 2.0);
}

// View-space position of the pixel at viewport uv with linear depth viewDepth (target 1's w),
// for a perspective or an orthographic projection: solves the projection's x and y rows.
float3 viewPositionFromLinearDepth(float2 uv, float viewDepth, float4x4 proj)
{
    float2 ndc = viewportUvToNdc(uv);
    float w = viewDepth * proj[2][3] + proj[3][3];
    float x = (ndc.x * w - viewDepth * proj[2][0] - proj[3][0]) / proj[0][0];
    float y = (ndc.y * w - viewDepth * proj[2][1] - proj[3][1]) / proj[1][1];
    return float3(x, y, viewDepth);
}

// View-space position from the depth target's value (0 near .. 1 far) and the inverse projection.
float3 viewPositionFromDeviceDepth(float2 uv, float deviceDepth, float4x4 invProj)
{
    float4 p = mul(float4(viewportUvToNdc(uv), deviceDepth, 1.0), invProj);
    return p.xyz / p.w;
}

// World-space position of a view-space one; invView is the camera matrix.
float3 worldPositionFromView(float3 viewPos, float4x4 invView)
{
    return mul(float4(viewPos, 1.0), invView).xyz;
}

float3 worldPositionFromLinearDepth(float2 uv, float viewDepth, float4x4 proj, float4x4 invView)
{
    return worldPositionFromView(viewPositionFromLinearDepth(uv, viewDepth, proj), invView);
}

// A region-relative uv (over the part of the G-buffer being lit) -> uv in the G-buffer textures.
float2 gbufferUv(float2 viewportUv, float2 regionScale, float2 regionOffset)
{
    return viewportUv * regionScale + regionOffset;
}

#endif
