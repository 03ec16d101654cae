// A full-screen pass drawn over chosen blocks of the picture only, for passes that know which
// blocks hold nothing for them. The including file defines, before including,
//     bool blockChosen(int2 block, int2 blocks)
// (blocks: how many blocks the area holds across and down) and draws six vertices a block.
#ifndef COMMON_BLOCK_RUNS_HLSLI
#define COMMON_BLOCK_RUNS_HLSLI

#include "fullscreen.hlsli"

// Six vertices a block, in rows: the first block of a run of chosen blocks spans the run as
// two triangles of the strip (one diagonal a run: both triangles shade the pixel groups it
// cuts, so a rectangle a block would cost more), with a collapsed vertex before and after;
// every other block collapses to a point. areaSize: the pixels the blocks cover, blockSize
// pixels to a block's edge; the last row and column may be cut short.
FullscreenVertex blockRunVertex(uint id, int blockSize, float2 areaSize)
{
    int2 blocks = (int2(areaSize) + blockSize - 1) / blockSize;
    uint index = id / 6, corner = id % 6;
    int2 block = int2(int(index) % max(blocks.x, 1), int(index) / max(blocks.x, 1));
    int last = block.x - 1;
    if (blockChosen(block, blocks) && (block.x == 0 || !blockChosen(block - int2(1, 0), blocks)))
    {
        last = block.x;
        while (last + 1 < blocks.x && blockChosen(int2(last + 1, block.y), blocks))
            ++last;
    }
    float2 lo = float2(block * blockSize);
    float2 hi = last >= block.x ? min(float2(last + 1, block.y + 1) * float(blockSize), areaSize) : lo;
    float2 pixel = corner <= 1 ? lo : corner == 2 ? float2(hi.x, lo.y) : corner == 3 ? float2(lo.x, hi.y) : hi;
    FullscreenVertex o;
    o.uv = pixel / areaSize;
    o.pos = float4(o.uv.x * 2.0 - 1.0, 1.0 - o.uv.y * 2.0, 0.0, 1.0);
    return o;
}

// The last block of the run of chosen blocks that starts at `first` (itself chosen).
int blockRunEnd(int2 first, int2 blocks)
{
    int last = first.x;
    while (last + 1 < blocks.x && blockChosen(int2(last + 1, first.y), blocks))
        ++last;
    return last;
}

// Whether row y holds a run from x0 to x1 exactly.
bool blockRunIn(int x0, int x1, int y, int2 blocks)
{
    if (!blockChosen(int2(x0, y), blocks) || (x0 > 0 && blockChosen(int2(x0 - 1, y), blocks)))
        return false;
    return blockRunEnd(int2(x0, y), blocks) == x1;
}

// blockRunVertex with runs that repeat in the rows below merged into one rectangle: a run's
// diagonal shades twice the pixel groups it cuts, about a quarter of a 16-pixel row of
// blocks, and far less of a tall rectangle. Each repeated run costs its first block's
// vertices a scan of it, so this suits a blockChosen that reads one value.
FullscreenVertex blockRectVertex(uint id, int blockSize, float2 areaSize)
{
    int2 blocks = (int2(areaSize) + blockSize - 1) / blockSize;
    uint index = id / 6, corner = id % 6;
    int2 block = int2(int(index) % max(blocks.x, 1), int(index) / max(blocks.x, 1));
    int last = block.x - 1, bottom = block.y;
    if (blockChosen(block, blocks) && (block.x == 0 || !blockChosen(block - int2(1, 0), blocks)))
    {
        last = blockRunEnd(block, blocks);
        if (block.y > 0 && blockRunIn(block.x, last, block.y - 1, blocks))
            last = block.x - 1;  // drawn by the rectangle of the row above
        else
            while (bottom + 1 < blocks.y && blockRunIn(block.x, last, bottom + 1, blocks))
                ++bottom;
    }
    float2 lo = float2(block * blockSize);
    float2 hi = last >= block.x ? min(float2(last + 1, bottom + 1) * float(blockSize), areaSize) : lo;
    float2 pixel = corner <= 1 ? lo : corner == 2 ? float2(hi.x, lo.y) : corner == 3 ? float2(lo.x, hi.y) : hi;
    FullscreenVertex o;
    o.uv = pixel / areaSize;
    o.pos = float4(o.uv.x * 2.0 - 1.0, 1.0 - o.uv.y * 2.0, 0.0, 1.0);
    return o;
}

#endif
