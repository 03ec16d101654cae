// Cloth simulation of the "Cloth" operator: stretch, shear and bend springs.
//   CS     one sub-step
//   NT1CS  positions of the present state into the position texture, per render vertex
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

// Both normal passes run over the render vertices (the file's vertices, seams kept): vertex j
// of the drawn index buffer is texel j of the position texture and record j of the shading
// buffer, and takes the state of its simulation vertex gRemap[j]. A generated plane maps
// every vertex onto itself.
uint simulationVertexOf(uint j)
{
    return min(gRemap[j], max(vertexCount, 1u) - 1u);
}

[numthreads(16, 16, 1)]
void NT1CS(uint3 id : SV_DispatchThreadID)
{
    uint j = vertexIndex(id);
    if (j < renderVertexCount)
        gPositions[id.xy] = float4(gCurrent[simulationVertexOf(j)].position, 1.0);
}

float3 statePosition(uint vertex)
{
    return gCurrent[vertex].position;
}

[numthreads(16, 16, 1)]
void NT2CS(uint3 id : SV_DispatchThreadID)
{
    uint j = vertexIndex(id);
    if (j >= renderVertexCount)
        return;
    ClothShading rest = gRestShading[j];
    float3 sum;
    CREASE_NORMAL_SUM(simulationVertexOf(j), rest.normalU.xyz, statePosition, sum)
    float len = length(sum);
    float3 n = len > 1.0e-12 ? sum / len : rest.normalU.xyz;
    ClothShading o;
    o.normalU = float4(n, rest.normalU.w);
    o.tangentV = float4(tangentFor(n, rest.tangentV.xyz), rest.tangentV.w);
    gShading[j] = o;
}
