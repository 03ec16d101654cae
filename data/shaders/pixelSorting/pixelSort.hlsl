// Pixel sorting, second program: one thread group per line (line = group.x + 2048 * group.y,
// so rows of up to 2048 groups)
// sorts each of the line's runs by key in group-shared memory (a bitonic network over the
// run padded to a power of two; equal keys keep their order) and writes the run's pixels,
// read from the source, into the destination in sorted order: ascending, or descending
// with gInvertSort on. Pixels outside runs are left as the destination holds them.
#include "pixelSort.hlsli"

Texture2D gSource : register(t0);
RWStructuredBuffer<uint> gRuns : register(u1);
RWTexture2D<float4> gDestination : register(u2);
RWStructuredBuffer<uint> gKeys : register(u3);

static const uint kThreads = 256;
groupshared uint2 sRun[kMaxRun];  // (key, position in the run)

[numthreads(256, 1, 1)]
void main(uint3 gid : SV_GroupID, uint3 tid3 : SV_GroupThreadID)
{
    uint lineIndex = gid.x + 2048 * gid.y;
    uint lines = lineCount(), n = lineLength();
    if (lineIndex >= lines)
        return;
    uint tid = tid3.x;
    uint base = lineIndex * n;
    uint runs = gRuns[lines * n + lineIndex];
    bool descending = gInvertSort > 0.5;
    for (uint r = 0; r < runs; ++r)
    {
        uint record = gRuns[base + r];
        uint start = record & 0xFFFFu;
        uint runLength = record >> 16;
        if (runLength < 2)
            continue;
        uint size = 1;
        while (size < runLength)
            size <<= 1;
        for (uint i = tid; i < size; i += kThreads)
        {
            uint key = 0xFFFFFFFFu;
            if (i < runLength)
                key = descending ? ~gKeys[base + start + i] : gKeys[base + start + i];
            sRun[i] = uint2(key, i < runLength ? i : 0xFFFFFFFFu);
        }
        GroupMemoryBarrierWithGroupSync();
        for (uint k = 2; k <= size; k <<= 1)
        {
            for (uint j = k >> 1; j > 0; j >>= 1)
            {
                for (uint i = tid; i < size; i += kThreads)
                {
                    uint other = i ^ j;
                    if (other > i)
                    {
                        uint2 a = sRun[i], b = sRun[other];
                        bool aAfterB = a.x > b.x || (a.x == b.x && a.y > b.y);
                        bool up = (i & k) == 0;
                        if (aAfterB == up)
                        {
                            sRun[i] = b;
                            sRun[other] = a;
                        }
                    }
                }
                GroupMemoryBarrierWithGroupSync();
            }
        }
        for (uint m = tid; m < runLength; m += kThreads)
            gDestination[pixelOf(lineIndex, start + m)] = gSource.Load(int3(pixelOf(lineIndex, start + sRun[m].y), 0));
        GroupMemoryBarrierWithGroupSync();
    }
}
