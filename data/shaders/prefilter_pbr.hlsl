// The lookup texture of the split-sum image-based lighting, rendered once at start-up:
// texel (NdotV, roughness) (x to the right, roughness growing downwards) holds the scale and
// bias of the reflectance at normal incidence in the specular integral of the BRDF.
#include "common/fullscreen.hlsli"
#include "common/brdf.hlsli"

static const uint kLookupSamples = 128;

FullscreenVertex mainVS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

float4 mainPS(FullscreenVertex i) : SV_TARGET
{
    return float4(integrateEnvironmentBrdf(i.uv.x, i.uv.y, kLookupSamples), 0.0, 1.0);
}
