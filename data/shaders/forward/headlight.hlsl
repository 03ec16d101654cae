// Shader for "Forward" lit by one light at the eye: surfaces facing the camera show their
// full colour (base colour times albedo texture), surfaces seen edge-on fade toward a quarter
// of it, so shapes read without a lighting pass. Both sides of a surface are lit alike.
// The emissive colour is added unlit.
//
// Reads the per-object constants of every mesh draw by name from b0, the albedo texture from
// t0 and its sampler from s0. Entry points: VS and PS.

cbuffer ObjectConstants : register(b0) {
  float4x4 gWorldViewProj;
  float4x4 gWorldView;
  float4x4 gInvTransWorldView;  // transforms normals into view space
  float4 gBaseColor;
  float4 gEmissiveColor;
  float2 gTileUV;
};

Texture2D gAlbedoTexture : register(t0);
SamplerState gAlbedoSampler : register(s0);

struct VertexIn {
  float3 position : POSITION;
  float3 normal : NORMAL;
  float2 uv : TEXCOORD0;
};

struct VertexOut {
  float4 position : SV_Position;
  float3 viewPosition : TEXCOORD0;
  float3 viewNormal : TEXCOORD1;
  float2 uv : TEXCOORD2;
};

VertexOut VS(VertexIn v) {
  VertexOut o;
  o.position = mul(float4(v.position, 1.0f), gWorldViewProj);
  o.viewPosition = mul(float4(v.position, 1.0f), gWorldView).xyz;
  o.viewNormal = mul(float4(v.normal, 0.0f), gInvTransWorldView).xyz;
  o.uv = v.uv * gTileUV;
  return o;
}

float4 PS(VertexOut p) : SV_Target {
  const float3 n = normalize(p.viewNormal);
  const float3 toEye = normalize(-p.viewPosition);
  const float light = 0.25f + 0.75f * abs(dot(n, toEye));
  const float4 albedo = gAlbedoTexture.Sample(gAlbedoSampler, p.uv) * gBaseColor;
  return float4(albedo.rgb * light + gEmissiveColor.rgb, albedo.a);
}
