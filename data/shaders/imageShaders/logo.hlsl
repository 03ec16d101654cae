// The player's name in rounded block letters, for sprites: transparent outside the letters
// (alpha is their coverage; over the input picture when one is connected), so a "Sprite"
// lays it over a picture. Drawn over the whole viewport, the five letters centred and as
// large as fit.
//   gParam1  colour at the top of the letters     gParam2  colour at the bottom
//   gParam3  x speed of the sheen that runs across them (0: none)
#include "../common/imageShader.hlsli"

// Five rows of 5 x 7 cells per letter, top row first; bit 4 is the leftmost cell.
static const uint kGlyphs[5][7] = {
    {31, 1, 2, 4, 8, 16, 31},     // Z
    {14, 17, 17, 31, 17, 17, 17}, // A
    {30, 17, 17, 30, 20, 18, 17}, // R
    {17, 17, 17, 17, 17, 10, 4},  // V
    {14, 17, 17, 17, 17, 17, 14}, // O
};

bool filled(int letter, int2 cell)
{
    if (letter < 0 || letter > 4 || cell.x < 0 || cell.x > 4 || cell.y < 0 || cell.y > 6)
        return false;
    return (kGlyphs[letter][cell.y] >> (4 - cell.x) & 1u) != 0;
}

float4 PS(FullscreenVertex i) : SV_TARGET
{
    // 29 cells across (five letters and four gaps) and 7 down, with a cell of margin.
    float cellSize = min(gResolution.x / 31.0, gResolution.y / 9.0);
    float2 origin = (gResolution - cellSize * float2(29.0, 7.0)) * 0.5;
    float2 at = (i.uv * gResolution - origin) / cellSize;  // in cells
    int column = int(floor(at.x));
    int letter = column >= 0 ? column / 6 : -1;
    int2 cell = int2(column - letter * 6, int(floor(at.y)));
    float coverage = 0.0;
    if (filled(letter, cell))
    {
        // Rounded squares, slightly inset, with one pixel of soft edge.
        float2 inCell = abs(frac(at) - 0.5);
        float d = length(max(inCell - 0.32, 0.0)) - 0.12;
        coverage = saturate(0.5 - d * cellSize);
    }
    float3 colour = lerp(gParam1.rgb, gParam2.rgb, saturate(at.y / 7.0));
    float sheen = gParam3.x != 0.0 ? pow(saturate(1.0 - abs(frac(at.x / 29.0 - gTime * gParam3.x * 0.25) - 0.5) * 8.0), 2.0) : 0.0;
    colour += sheen * 0.6;
    // Over the input picture when one is connected (its alpha kept outside the letters).
    float4 input = inputAt(i.uv);
    float alpha = coverage + input.a * (1.0 - coverage);
    float3 rgb = alpha > 0.0 ? (colour * coverage + input.rgb * input.a * (1.0 - coverage)) / alpha : colour;
    return float4(rgb, alpha);
}
