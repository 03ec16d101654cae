// A positive depth kept in three channels of an 8-bit target: the top 24 bits of its float
// pattern (sign, exponent and 15 bits of mantissa: a relative step of 3e-5), one byte a
// channel written as k / 255, which an 8-bit UNORM target stores and gives back exactly.
#ifndef COMMON_DEPTHBYTES_HLSLI
#define COMMON_DEPTHBYTES_HLSLI

float3 depthToBytes(float depth)
{
    uint bits = asuint(depth) >> 8;
    return float3(uint3(bits >> 16, bits >> 8, bits) & 255u) * (1.0 / 255.0);
}

// Back from the three channels as read; the dropped bits come back as their middle, so the
// error is at most half a step.
float depthFromBytes(float3 bytes)
{
    uint3 b = uint3(round(bytes * 255.0));
    return asfloat((b.x << 24) | (b.y << 16) | (b.z << 8) | 0x80u);
}

// Four at once, from gathers of the three channels.
float4 depthsFromBytes(float4 hi, float4 mid, float4 lo)
{
    uint4 b = (uint4(round(hi * 255.0)) << 24) | (uint4(round(mid * 255.0)) << 16) | (uint4(round(lo * 255.0)) << 8);
    return asfloat(b | 0x80u);
}

#endif
