// Cloth simulation of the "ClothMesh" operator: the mesh's edges as stretch springs and the
// auxiliary springs to the anchors.
//   CS       one sub-step (simulation vertices)
//   NT1CS    positions of the present state into the scratch buffer
//   NT2CS    normals of the simulation vertices from their faces
//   ApplyCS  render vertices (the file's vertices, seams kept) from their simulation vertex:
//            position texture and shading buffer
#include "clothCommon.hlsli"

cbuffer ClothConstants : register(b0)
{
    CLOTH_CONSTANTS
    float stretchForce;
    float auxForce;
    uint auxConnections;  // the operator's choice; the anchors themselves are in the topology
};

float springConstant(uint kind)
{
    return kind == SPRING_STRETCH ? stretchForce : kind == SPRING_AUX && auxConnections != 0 ? auxForce : 0.0;
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
        gScratch[i].position = float4(gCurrent[i].position, 1.0);
}

float3 scratchPosition(uint vertex)
{
    return gScratch[vertex].position.xyz;
}

[numthreads(16, 16, 1)]
void NT2CS(uint3 id : SV_DispatchThreadID)
{
    uint i = vertexIndex(id);
    if (i >= vertexCount)
        return;
    float3 sum;
    FACE_NORMAL_SUM(i, scratchPosition, sum)
    float len = length(sum);
    gScratch[i].normal = float4(len > 1.0e-12 ? sum / len : float3(0.0, 0.0, 0.0), 0.0);
}

[numthreads(16, 16, 1)]
void ApplyCS(uint3 id : SV_DispatchThreadID)
{
    uint j = vertexIndex(id);
    if (j >= renderVertexCount)
        return;
    uint s = min(gRemap[j], vertexCount - 1);
    ClothScratch sim = gScratch[s];
    ClothShading rest = gRestShading[j];
    float3 n = dot(sim.normal.xyz, sim.normal.xyz) > 0.5 ? sim.normal.xyz : rest.normalU.xyz;
    gPositions[id.xy] = float4(sim.position.xyz, 1.0);
    ClothShading o;
    o.normalU = float4(n, rest.normalU.w);
    o.tangentV = float4(tangentFor(n, rest.tangentV.xyz), rest.tangentV.w);
    gShading[j] = o;
}
