// The one surface model of the renderer, shared by every light, the image-based term and the
// pre-integrated lookup texture: a GGX specular lobe with height-correlated Smith visibility
// and Schlick's Fresnel, over a Lambert diffuse term.
//
// Conventions:
// - Vectors are unit length and point away from the surface: N the normal, V towards the
//   eye, L towards the light.
// - roughness is the perceptual value stored in the G-buffer; the lobe's alpha is its square.
//   It is clamped to kMinRoughness so a point light on a perfect mirror stays finite.
// - A light's colour is the radiance a white Lambert surface facing it reflects, so the BRDF
//   is scaled by pi: a white diffuse surface lit head-on by colour c shows c.
// - Reflectance at normal incidence is 0.08 x specular intensity for dielectrics (0.04 at
//   the usual 0.5) and the albedo for metals, blended by metalness.
// - The environment cube's mip m holds the environment pre-filtered for roughness
//   m / (mipCount - 1) (the baking tool writes it so); environmentMip maps back.
#ifndef COMMON_BRDF_HLSLI
#define COMMON_BRDF_HLSLI

static const float kPi = 3.14159265;
static const float kMinRoughness = 0.03;

struct BrdfSurface
{
    float3 albedo;
    float roughness;
    float metalness;
    float specular;  // specular intensity
};

BrdfSurface makeBrdfSurface(float3 albedo, float roughness, float metalness, float specular)
{
    BrdfSurface s;
    s.albedo = albedo;
    s.roughness = roughness;
    s.metalness = metalness;
    s.specular = specular;
    return s;
}

float brdfAlpha(float roughness)
{
    float r = clamp(roughness, kMinRoughness, 1.0);
    return r * r;
}

float3 brdfF0(BrdfSurface s)
{
    float dielectric = saturate(0.08 * s.specular);
    return lerp(float3(dielectric, dielectric, dielectric), saturate(s.albedo), saturate(s.metalness));
}

float3 brdfDiffuseColour(BrdfSurface s)
{
    return s.albedo * (1.0 - saturate(s.metalness));
}

// GGX normal distribution.
float ggxDistribution(float NdotH, float alpha)
{
    float a2 = alpha * alpha;
    float d = NdotH * NdotH * (a2 - 1.0) + 1.0;
    return a2 / (kPi * d * d);
}

// Height-correlated Smith masking-shadowing folded with the 1 / (4 NdotL NdotV) of the
// microfacet model: V = G / (4 NdotL NdotV).
float smithVisibility(float NdotV, float NdotL, float alpha)
{
    float a2 = alpha * alpha;
    float gv = NdotL * sqrt(NdotV * NdotV * (1.0 - a2) + a2);
    float gl = NdotV * sqrt(NdotL * NdotL * (1.0 - a2) + a2);
    return 0.5 / max(gv + gl, 1e-7);
}

float3 schlickFresnel(float3 f0, float cosTheta)
{
    float m = saturate(1.0 - cosTheta);
    float m2 = m * m;
    return f0 + (1.0 - f0) * (m2 * m2 * m);
}

// Light reflected towards V by one light of colour lightColour from direction L.
float3 evaluateBrdfLight(float3 N, float3 V, float3 L, BrdfSurface s, float3 lightColour)
{
    float NdotL = dot(N, L);
    if (NdotL <= 0.0)
        return float3(0.0, 0.0, 0.0);
    float NdotV = max(dot(N, V), 1e-4);
    float3 H = normalize(V + L);
    float NdotH = saturate(dot(N, H));
    float VdotH = saturate(dot(V, H));
    float alpha = brdfAlpha(s.roughness);
    float3 F = schlickFresnel(brdfF0(s), VdotH);
    float3 specular = F * (ggxDistribution(NdotH, alpha) * smithVisibility(NdotV, NdotL, alpha));
    float3 diffuse = brdfDiffuseColour(s) * (1.0 - F) * (1.0 / kPi);
    return (diffuse + specular) * (kPi * NdotL) * lightColour;
}

// ------------------------------------------------------------------ image-based term

float environmentMip(float roughness, float mipCount)
{
    return saturate(roughness) * max(mipCount - 1.0, 0.0);
}

// Split sum: prefiltered is the environment along the reflection at environmentMip,
// irradiance the environment's widest level along N, envBrdf the lookup texture's (scale,
// bias) at (NdotV, roughness).
float3 evaluateImageLight(float3 N, float3 V, BrdfSurface s, float3 prefiltered, float3 irradiance, float2 envBrdf)
{
    float NdotV = max(dot(N, V), 1e-4);
    float3 f0 = brdfF0(s);
    float3 specular = prefiltered * (f0 * envBrdf.x + envBrdf.y);
    float3 F = schlickFresnel(f0, NdotV);
    float3 diffuse = brdfDiffuseColour(s) * (1.0 - F) * irradiance;
    return diffuse + specular;
}

// ------------------------------------------------------------------ pre-integration

// Point i of n of the Hammersley set in [0, 1)^2.
float2 hammersley(uint i, uint n)
{
    return float2((float(i) + 0.5) / float(n), float(reversebits(i)) * 2.3283064365386963e-10);
}

// A half vector drawn with density D(h) NdotH about N = +Z.
float3 importanceSampleGgx(float2 xi, float alpha)
{
    float phi = 2.0 * kPi * xi.x;
    float cosTheta = sqrt((1.0 - xi.y) / (1.0 + (alpha * alpha - 1.0) * xi.y));
    float sinTheta = sqrt(saturate(1.0 - cosTheta * cosTheta));
    return float3(sinTheta * cos(phi), sinTheta * sin(phi), cosTheta);
}

// The lookup texture's texel: scale and bias of f0 in the specular integral over the
// hemisphere, for a view at NdotV and the given roughness (N = +Z, V in the XZ plane).
float2 integrateEnvironmentBrdf(float NdotV, float roughness, uint sampleCount)
{
    NdotV = max(NdotV, 1e-4);
    float3 V = float3(sqrt(saturate(1.0 - NdotV * NdotV)), 0.0, NdotV);
    float alpha = brdfAlpha(roughness);
    float a = 0.0;
    float b = 0.0;
    for (uint i = 0; i < sampleCount; ++i)
    {
        float3 H = importanceSampleGgx(hammersley(i, sampleCount), alpha);
        float VdotH = dot(V, H);
        float3 L = 2.0 * VdotH * H - V;
        float NdotL = L.z;
        if (NdotL > 0.0 && VdotH > 0.0)
        {
            // sample weight = brdf * NdotL / pdf with pdf = D NdotH / (4 VdotH), F taken out
            float w = smithVisibility(NdotV, NdotL, alpha) * 4.0 * NdotL * VdotH / max(H.z, 1e-7);
            float m = 1.0 - VdotH;
            float fc = m * m * m * m * m;
            a += (1.0 - fc) * w;
            b += fc * w;
        }
    }
    return float2(a, b) / float(sampleCount);
}

#endif
