// Cloth simulation of the "Cloth" operator: stretch, shear and bend springs.
//   CS     one sub-step
//   NT1CS  positions of the present state into the position texture
//   NT2CS  normals (from the faces around each vertex) and tangents into the shading buffer
#include "clothCommon.hlsli"

cbuffer ClothConstants : register(b0)
{
    CLOTH_CONSTANTS
    float stretchForce;
    float shearForce;
    float bendForce;
};

float springConstant(uint kind)
{
    return kind == SPRING_STRETCH ? stretchForce : kind == SPRING_SHEAR ? shearForce : kind == SPRING_BEND ? bendForce : 0.0;
}

#include "clothStep.hlsli"

[numthreads(16, 16, 1)]
void CS(uint3 id : SV_DispatchThreadID)
{
    uint i = vertexIndex(id);
    if (i < vertexCount)
        clothSubStep(i);
}

[numthreads(16, 16, 1)]
void NT1CS(uint3 id : SV_DispatchThreadID)
{
    uint i = vertexIndex(id);
    if (i < vertexCount)
        gPositions[id.xy] = float4(gCurrent[i].position, 1.0);
}

float3 texturePosition(uint vertex)
{
    return gPositions[texelOf(vertex)].xyz;
}

[numthreads(16, 16, 1)]
void NT2CS(uint3 id : SV_DispatchThreadID)
{
    uint i = vertexIndex(id);
    if (i >= vertexCount)
        return;
    float3 sum;
    FACE_NORMAL_SUM(i, texturePosition, sum)
    ClothShading rest = gRestShading[i];
    float len = length(sum);
    float3 n = len > 1.0e-12 ? sum / len : rest.normalU.xyz;
    ClothShading o;
    o.normalU = float4(n, rest.normalU.w);
    o.tangentV = float4(tangentFor(n, rest.tangentV.xyz), rest.tangentV.w);
    gShading[i] = o;
}
