// Unlit shader for "Forward": every pixel of the geometry shows its material's base colour
// times the albedo texture (white when none is set), plus the emissive colour. No lighting,
// no G-buffer: the colour goes straight into the picture "Forward" draws into.
//
// The constants and textures are the per-object ones every mesh draw sets; a shader reads
// those it needs by name, from buffer b0, and the albedo texture from slot t0 with its
// sampler in s0. Entry points: VS and PS.

cbuffer ObjectConstants : register(b0) {
  float4x4 gWorldViewProj;
  float4 gBaseColor;
  float4 gEmissiveColor;  // rgb emissive colour
  float2 gTileUV;         // texture repeats in U and V
};

Texture2D gAlbedoTexture : register(t0);
SamplerState gAlbedoSampler : register(s0);

struct VertexIn {
  float3 position : POSITION;
  float2 uv : TEXCOORD0;
};

struct VertexOut {
  float4 position : SV_Position;
  float2 uv : TEXCOORD0;
};

VertexOut VS(VertexIn v) {
  VertexOut o;
  o.position = mul(float4(v.position, 1.0f), gWorldViewProj);
  o.uv = v.uv * gTileUV;
  return o;
}

float4 PS(VertexOut p) : SV_Target {
  const float4 albedo = gAlbedoTexture.Sample(gAlbedoSampler, p.uv) * gBaseColor;
  return float4(albedo.rgb + gEmissiveColor.rgb, albedo.a);
}
