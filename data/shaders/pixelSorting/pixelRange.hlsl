// Pixel sorting, first program: one thread walks one line of the region and writes, for
// every position, its sort key into buffer B and where its run starts into buffer A
// (layouts in pixelSort.hlsli). Groups of 64 threads: line = group * 64 + thread.
#include "pixelSort.hlsli"

Texture2D gSource : register(t0);
SamplerState gSourceSampler : register(s0);
RWStructuredBuffer<uint> gRuns : register(u1);
RWStructuredBuffer<uint> gKeys : register(u2);

[numthreads(64, 1, 1)]
void main(uint3 gid : SV_GroupID, uint3 tid : SV_GroupThreadID)
{
    uint lineIndex = gid.x * 64 + tid.x;
    uint n = lineLength();
    if (lineIndex >= lineCount())
        return;
    float w, h;
    gSource.GetDimensions(w, h);
    uint base = lineIndex * n;
    uint start = kNotInRun;
    for (uint i = 0; i < n; ++i)
    {
        float2 uv = (float2(pixelOf(lineIndex, i)) + 0.5) / float2(w, h);
        float value = sortValue(gSource.SampleLevel(gSourceSampler, uv, 0));
        gKeys[base + i] = sortableBits(value);
        if (!inRun(value))
            start = kNotInRun;
        else if (start == kNotInRun)
            start = i;
        gRuns[base + i] = start;
    }
}
