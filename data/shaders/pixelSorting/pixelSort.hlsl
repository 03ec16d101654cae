// Pixel sorting, second program: one thread group per line (line = group.x + 2048 * group.y,
// so rows of up to 2048 groups). Each chunk of the line is sorted in group-shared memory in
// one go, with a bitonic network over (run start, key, position): every run's pixels end up
// ordered by key within the run's own positions, ascending or, with gInvertSort on,
// descending, equal keys in their old order, and a pixel outside runs (its own group of
// one) stays where it is. Moved pixels are written, read from the source, into the
// destination; the others are left as the destination holds them.
#include "pixelSort.hlsli"

Texture2D gSource : register(t0);
RWStructuredBuffer<uint> gRuns : register(u1);
RWTexture2D<float4> gDestination : register(u2);
RWStructuredBuffer<uint> gKeys : register(u3);

static const uint kThreads = 256;
// (run start << 16 | key >> 16, key << 16 | position), positions within the chunk.
groupshared uint2 sChunk[kChunk];

bool after(uint2 a, uint2 b)
{
    return a.x > b.x || (a.x == b.x && a.y > b.y);
}

[numthreads(256, 1, 1)]
void main(uint3 gid : SV_GroupID, uint3 tid3 : SV_GroupThreadID)
{
    uint lineIndex = gid.x + 2048 * gid.y;
    uint n = lineLength();
    if (lineIndex >= lineCount())
        return;
    uint tid = tid3.x;
    uint base = lineIndex * n;
    bool descending = gInvertSort > 0.5;
    for (uint chunk = 0; chunk < n; chunk += kChunk)
    {
        uint count = min(kChunk, n - chunk);
        uint size = 1;
        while (size < count)
            size <<= 1;
        for (uint i = tid; i < size; i += kThreads)
        {
            uint2 entry = uint2(0xFFFFFFFFu, 0xFFFFFFFFu);  // padding sorts last
            if (i < count)
            {
                uint start = gRuns[base + chunk + i];
                uint key = 0;
                if (start == kNotInRun)
                    start = chunk + i;
                else
                    key = descending ? ~gKeys[base + chunk + i] : gKeys[base + chunk + i];
                start -= chunk;
                entry = uint2(start << 16 | key >> 16, key << 16 | i);
            }
            sChunk[i] = entry;
        }
        GroupMemoryBarrierWithGroupSync();
        for (uint k = 2; k <= size; k <<= 1)
        {
            for (uint j = k >> 1; j > 0; j >>= 1)
            {
                // Pair q compares position i (bit j clear) with i + j.
                for (uint q = tid; q < size / 2; q += kThreads)
                {
                    uint i = ((q & ~(j - 1)) << 1) | (q & (j - 1));
                    uint other = i | j;
                    uint2 a = sChunk[i], b = sChunk[other];
                    if (after(a, b) == ((i & k) == 0))
                    {
                        sChunk[i] = b;
                        sChunk[other] = a;
                    }
                }
                GroupMemoryBarrierWithGroupSync();
            }
        }
        for (uint m = tid; m < count; m += kThreads)
        {
            uint from = sChunk[m].y & 0xFFFFu;
            if (from != m)
                gDestination[pixelOf(lineIndex, chunk + m)] = gSource.Load(int3(pixelOf(lineIndex, chunk + from), 0));
        }
        GroupMemoryBarrierWithGroupSync();
    }
}
