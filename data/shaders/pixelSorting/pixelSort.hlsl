// Pixel sorting, second program: one thread group per line (line = group.x + 2048 * group.y,
// so rows of up to 2048 groups). The line is sorted in one go by a bitonic network over
// entries (run start, key, position): every run's pixels end up ordered by key within the
// run's own positions, ascending or, with gInvertSort on, descending, equal keys in their
// old order, and a pixel outside runs (its own run of one) stays where it is. Moved pixels
// are written, read from the source, into the destination; the others are left as the
// destination holds them.
//
// The network compares ascending everywhere (each merge starts by comparing mirrored
// positions), so the positions that pad the line to a power of two would hold entries
// larger than any other and never move: comparisons with them are skipped instead of
// storing them. A line of up to kChunk positions is sorted in group-shared memory; a longer
// one in place in the two working buffers, with a device barrier between steps (only this
// group touches its line).
#include "pixelSort.hlsli"

Texture2D gSource : register(t0);
globallycoherent RWStructuredBuffer<uint> gRuns : register(u1);
RWTexture2D<float4> gDestination : register(u2);
globallycoherent RWStructuredBuffer<uint> gKeys : register(u3);

static const uint kThreads = 256;
// (run start << 16 | key >> 16, key << 16 | position).
groupshared uint2 sLine[kChunk];

bool after(uint2 a, uint2 b)
{
    return a.x > b.x || (a.x == b.x && a.y > b.y);
}

uint2 entryAt(uint base, uint i, bool descending)
{
    uint start = gRuns[base + i];
    uint key = 0;
    if (start == kNotInRun)
        start = i;
    else
        key = descending ? ~gKeys[base + i] : gKeys[base + i];
    return uint2(start << 16 | key >> 16, key << 16 | i);
}

// The pair compared by pair number q at merge size k and step j: position i with its
// mirror in the block (first step of a merge) or with i + j. False when the partner is
// padding.
bool pairOf(uint q, uint k, uint j, uint n, out uint i, out uint other)
{
    i = ((q & ~(j - 1)) << 1) | (q & (j - 1));
    other = j == (k >> 1) ? i ^ (k - 1) : i | j;
    return other < n;
}

void writeMoved(uint lineIndex, uint m, uint from)
{
    if (from != m)
        gDestination[pixelOf(lineIndex, m)] = gSource.Load(int3(pixelOf(lineIndex, from), 0));
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
    uint size = 1;
    while (size < n)
        size <<= 1;

    if (n <= kChunk)
    {
        for (uint i = tid; i < n; i += kThreads)
            sLine[i] = entryAt(base, i, descending);
        GroupMemoryBarrierWithGroupSync();
        for (uint k = 2; k <= size; k <<= 1)
        {
            for (uint j = k >> 1; j > 0; j >>= 1)
            {
                for (uint q = tid; q < size / 2; q += kThreads)
                {
                    uint i, other;
                    if (!pairOf(q, k, j, n, i, other))
                        continue;
                    uint2 a = sLine[i], b = sLine[other];
                    if (after(a, b))
                    {
                        sLine[i] = b;
                        sLine[other] = a;
                    }
                }
                GroupMemoryBarrierWithGroupSync();
            }
        }
        for (uint m = tid; m < n; m += kThreads)
            writeMoved(lineIndex, m, sLine[m].y & 0xFFFFu);
        return;
    }

    for (uint i = tid; i < n; i += kThreads)
    {
        uint2 e = entryAt(base, i, descending);
        gRuns[base + i] = e.x;
        gKeys[base + i] = e.y;
    }
    DeviceMemoryBarrierWithGroupSync();
    for (uint k = 2; k <= size; k <<= 1)
    {
        for (uint j = k >> 1; j > 0; j >>= 1)
        {
            for (uint q = tid; q < size / 2; q += kThreads)
            {
                uint i, other;
                if (!pairOf(q, k, j, n, i, other))
                    continue;
                uint2 a = uint2(gRuns[base + i], gKeys[base + i]);
                uint2 b = uint2(gRuns[base + other], gKeys[base + other]);
                if (after(a, b))
                {
                    gRuns[base + i] = b.x;
                    gKeys[base + i] = b.y;
                    gRuns[base + other] = a.x;
                    gKeys[base + other] = a.y;
                }
            }
            DeviceMemoryBarrierWithGroupSync();
        }
    }
    for (uint m = tid; m < n; m += kThreads)
        writeMoved(lineIndex, m, gKeys[base + m] & 0xFFFFu);
}
