// Bloom blur: one Gaussian direction per entry over a half-size target. The radius is in
// pixels of a 1080-line picture; 17 taps reach it at about 2.5 standard deviations.
//
// Only what is brighter than the threshold blooms, so most of a picture's blurs sum zeros.
// PSBlockMarks marks the 16 x 16 blocks of the extracted bright parts that hold anything;
// PSBlockReach marks the blocks within gBlockReach blocks of a marked one, as far as four
// blurs can carry light; TileVS then draws the blurs over those blocks only, on targets
// that hold zeros elsewhere. Every drawn pixel sums what it summed over the whole target.
#include "common/fullscreen.hlsli"

cbuffer BloomBlurConstants : register(b0)
{
    int gBlurs;        // 0 when the radius is under half a pixel: the pass copies
    float4 gTaps[9];   // k = 0..8: x the distance of taps k and -k in pixels, y their normalised weight
    float2 gTargetSize;  // TileVS: the size in pixels of the target the blur draws
    float2 gBlockReach;  // PSBlockReach: blocks across and down that light may travel; TileVS: negative draws every block
};

Texture2D gInput : register(t0);
Texture2D gBlocks : register(t2);  // TileVS: PSBlockReach's marks; PSBlockReach: PSBlockMarks's
SamplerState gInputSampler : register(s0);

static const int kTapsPerSide = 8;
static const int kBlock = 16;  // the manager sizes the block targets by the same edge

FullscreenVertex VS(uint id : SV_VertexID)
{
    return fullscreenTriangle(id);
}

bool blockChosen(int2 block, int2 blocks)
{
    return gBlockReach.x < 0.0 || gBlocks.Load(int3(block, 0)).r != 0.0;  // negative: every block
}

#include "common/blockRuns.hlsli"

FullscreenVertex TileVS(uint id : SV_VertexID)
{
    return blockRectVertex(id, kBlock, gTargetSize);
}

// 1 for a block of the extracted bright parts that holds anything but zeros (NaNs included).
float PSBlockMarks(FullscreenVertex i) : SV_TARGET
{
    float w, h;
    gInput.GetDimensions(w, h);
    int2 first = int2(i.pos.xy) * kBlock;
    int2 last = min(first + kBlock, int2(w, h)) - 1;
    float marked = 0.0;
    for (int y = first.y; y <= last.y; ++y)
        for (int x = first.x; x <= last.x; ++x)
            marked = any(gInput.Load(int3(x, y, 0)).rgb != 0.0) ? 1.0 : marked;
    return marked;
}

// 1 for a block within gBlockReach of a marked one.
float PSBlockReach(FullscreenVertex i) : SV_TARGET
{
    float w, h;
    gBlocks.GetDimensions(w, h);
    int2 block = int2(i.pos.xy);
    int2 first = max(block - int2(gBlockReach), 0);
    int2 last = min(block + int2(gBlockReach), int2(w, h) - 1);
    float reached = 0.0;
    for (int y = first.y; y <= last.y; ++y)
        for (int x = first.x; x <= last.x; ++x)
            reached = gBlocks.Load(int3(x, y, 0)).r != 0.0 ? 1.0 : reached;
    return reached;
}

// The weights depend only on the radius and the target's height: the manager computes them
// once per pass, and every pixel only reads and sums.
float4 blur(float2 uv, float2 direction)
{
    float w, h;
    gInput.GetDimensions(w, h);
    float2 texel = 1.0 / float2(w, h);
    float4 centre = gInput.SampleLevel(gInputSampler, uv, 0);
    [branch]
    if (gBlurs == 0)
        return centre;
    float4 sum = gTaps[0].y * centre;
    [unroll]
    for (int k = 1; k <= kTapsPerSide; ++k)
    {
        float2 offset = direction * gTaps[k].x * texel;
        sum += gTaps[k].y * (gInput.SampleLevel(gInputSampler, uv + offset, 0) +
                             gInput.SampleLevel(gInputSampler, uv - offset, 0));
    }
    return sum;
}

float4 PSVertical(FullscreenVertex i) : SV_TARGET
{
    return blur(i.uv, float2(0, 1));
}

float4 PSHorizontal(FullscreenVertex i) : SV_TARGET
{
    return blur(i.uv, float2(1, 0));
}
