// What the two pixel-sorting programs agree on.
//
// A line is a row of the region (gHorizontal on) or a column; position i runs along it from
// the left or the top. A pixel belongs to a run when its value is above gBlackVal (gMode 0,
// "Black": runs of bright pixels between dark ones) or below it (gMode 1, "White"). The
// value is the mean of red, green and blue (gUseColorAverage on) or the luminance.
//
// A run is sorted whole, whatever the line's length (up to 65536 positions): a line of up
// to kChunk positions is sorted in group-shared memory, a longer one in the buffers.
//
// Buffer A (uint): element l * n + i holds, for position i of line l (n positions a line),
// the position where its run starts, or kNotInRun.
// Buffer B (uint): element l * n + i holds the sort key of position i: the value's bits
// made to order as unsigned integers do.
// A line longer than kChunk is then sorted in place in these elements: A takes the high
// word of each sort entry, B the low one (entries in pixelSort.hlsl).
#ifndef PIXEL_SORT_HLSLI
#define PIXEL_SORT_HLSLI

cbuffer SortConstants : register(b0)
{
    float gBlackVal;
    float gHorizontal;
    int gMode;
    float gInvertSort;
    float gUseColorAverage;
    int4 gRegion;  // left, top, right, bottom in pixels
};

static const uint kChunk = 2048;
static const uint kNotInRun = 0xFFFFFFFFu;

uint lineCount()
{
    return gHorizontal > 0.5 ? uint(gRegion.w - gRegion.y) : uint(gRegion.z - gRegion.x);
}

uint lineLength()
{
    return gHorizontal > 0.5 ? uint(gRegion.z - gRegion.x) : uint(gRegion.w - gRegion.y);
}

int2 pixelOf(uint lineIndex, uint position)
{
    return gHorizontal > 0.5 ? int2(gRegion.x + int(position), gRegion.y + int(lineIndex))
                             : int2(gRegion.x + int(lineIndex), gRegion.y + int(position));
}

float sortValue(float4 c)
{
    return gUseColorAverage > 0.5 ? (c.r + c.g + c.b) / 3.0 : dot(c.rgb, float3(0.2126, 0.7152, 0.0722));
}

bool inRun(float value)
{
    return gMode == 1 ? value < gBlackVal : value > gBlackVal;
}

// Float bits that compare as unsigned integers in the order of the floats.
uint sortableBits(float value)
{
    uint u = asuint(value);
    return (u & 0x80000000u) != 0 ? ~u : u | 0x80000000u;
}

#endif
