// Two-dimensional FFTs of the fluid grid (gDIM x gDIM cells, gDIM a power of two up to 512),
// one line per thread group: a pass transforms every row or every column, so a transform
// is two dispatches of gDIM groups. Each cell holds two fields, the velocity's x and y
// components, transformed together: a spectrum element is (x.re, x.im, y.re, y.im).
//
//   CSFFTR2C  forward.  gPass 0: rows of the real velocities in u0 (float2 per cell) into
//                       the spectrum in u1.  gPass 1: columns of u1, in place.
//   CSFFTC2R  inverse.  gPass 0: columns of the spectrum in u1, in place.  gPass 1: rows of
//                       u1 into u2 (float4 per cell; x and z hold the real results).
// Neither pass scales: an inverse after a forward transform gives gDIM * gDIM times the input.
//
// Each line is transformed in group-shared memory with a radix-2 Stockham network
// (log2(gDIM) stages of gDIM / 2 butterflies, results in natural order).

cbuffer FFTConstants : register(b0)
{
    int gDIM;
    int gDIMLog2;
    int gPass;
};

static const uint kMaxDim = 512;
static const float kPi = 3.14159265358979;

groupshared float4 sLine[2 * kMaxDim];

// Two complex numbers at once: (a.xy) * w and (a.zw) * w.
float4 twiddle(float4 a, float2 w)
{
    return float4(a.x * w.x - a.y * w.y, a.x * w.y + a.y * w.x, a.z * w.x - a.w * w.y, a.z * w.y + a.w * w.x);
}

// Transforms sLine[0 .. n) (sign -1 forward, +1 inverse); returns where in sLine the result lies.
uint transformLine(uint tid, uint n, uint log2n, float sign)
{
    uint halfN = n >> 1;
    uint from = 0;
    for (uint s = 0; s < log2n; ++s)
    {
        uint to = kMaxDim - from;
        if (tid < halfN)
        {
            uint p = 1u << s;
            uint k = tid & (p - 1u);
            float4 u0 = sLine[from + tid];
            float4 u1 = sLine[from + tid + halfN];
            float angle = sign * kPi * float(k) / float(p);
            u1 = twiddle(u1, float2(cos(angle), sin(angle)));
            uint j = (tid << 1) - k;
            sLine[to + j] = u0 + u1;
            sLine[to + j + p] = u0 - u1;
        }
        GroupMemoryBarrierWithGroupSync();
        from = to;
    }
    return from;
}

RWStructuredBuffer<float2> gReal : register(u0);
RWStructuredBuffer<float4> gSpectrum : register(u1);

[numthreads(256, 1, 1)]
void CSFFTR2C(uint3 gid : SV_GroupID, uint3 tid3 : SV_GroupThreadID)
{
    uint n = min(uint(gDIM), kMaxDim), lineIndex = gid.x, tid = tid3.x;
    if (lineIndex >= n)
        return;
    bool rows = gPass == 0;
    for (uint i = tid; i < n; i += 256)
    {
        if (rows)
        {
            float2 v = gReal[lineIndex * n + i];
            sLine[i] = float4(v.x, 0.0, v.y, 0.0);
        }
        else
            sLine[i] = gSpectrum[i * n + lineIndex];
    }
    GroupMemoryBarrierWithGroupSync();
    uint at = transformLine(tid, n, uint(gDIMLog2), -1.0);
    for (uint j = tid; j < n; j += 256)
        gSpectrum[rows ? lineIndex * n + j : j * n + lineIndex] = sLine[at + j];
}

RWStructuredBuffer<float4> gResult : register(u2);

[numthreads(256, 1, 1)]
void CSFFTC2R(uint3 gid : SV_GroupID, uint3 tid3 : SV_GroupThreadID)
{
    uint n = min(uint(gDIM), kMaxDim), lineIndex = gid.x, tid = tid3.x;
    if (lineIndex >= n)
        return;
    bool columns = gPass == 0;
    for (uint i = tid; i < n; i += 256)
        sLine[i] = gSpectrum[columns ? i * n + lineIndex : lineIndex * n + i];
    GroupMemoryBarrierWithGroupSync();
    uint at = transformLine(tid, n, uint(gDIMLog2), 1.0);
    for (uint j = tid; j < n; j += 256)
    {
        if (columns)
            gSpectrum[j * n + lineIndex] = sLine[at + j];
        else
            gResult[lineIndex * n + j] = sLine[at + j];
    }
}
