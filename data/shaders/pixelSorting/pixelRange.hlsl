// Pixel sorting, first program: one thread walks one line of the region, writes every
// position's sort key into buffer B and the line's runs into buffer A (layouts in
// pixelSort.hlsli). Groups of 64 threads: line = group * 64 + thread.
#include "pixelSort.hlsli"

Texture2D gSource : register(t0);
SamplerState gSourceSampler : register(s0);
RWStructuredBuffer<uint> gRuns : register(u1);
RWStructuredBuffer<uint> gKeys : register(u2);

[numthreads(64, 1, 1)]
void main(uint3 gid : SV_GroupID, uint3 tid : SV_GroupThreadID)
{
    uint lineIndex = gid.x * 64 + tid.x;
    uint lines = lineCount(), n = lineLength();
    if (lineIndex >= lines)
        return;
    float w, h;
    gSource.GetDimensions(w, h);
    uint base = lineIndex * n;
    uint runs = 0;
    uint start = 0;
    bool open = false;
    for (uint i = 0; i <= n; ++i)
    {
        bool member = false;
        if (i < n)
        {
            float2 uv = (float2(pixelOf(lineIndex, i)) + 0.5) / float2(w, h);
            float value = sortValue(gSource.SampleLevel(gSourceSampler, uv, 0));
            gKeys[base + i] = sortableBits(value);
            member = inRun(value);
        }
        if (open && (!member || i - start == kMaxRun))
        {
            gRuns[base + runs] = start | ((i - start) << 16);
            ++runs;
            open = false;
        }
        if (member && !open)
        {
            start = i;
            open = true;
        }
    }
    gRuns[lines * n + lineIndex] = runs;
}
