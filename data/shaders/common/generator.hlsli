// The space of the colour generators: a point p runs over [-1, 1] across the viewport, x to
// the right and y downward, (0, 0) at the centre. Distances are measured with x scaled by
// the viewport's aspect, so circles stay round and a unit is half the viewport's height.
// A generated colour is laid over the input picture by its own alpha, or stands alone.
#ifndef COMMON_GENERATOR_HLSLI
#define COMMON_GENERATOR_HLSLI

float2 generatorPoint(float2 uv)
{
    return uv * 2.0 - 1.0;
}

float2 aspectScaled(float2 v, float aspect)
{
    return v * float2(aspect, 1.0);
}

float4 overInput(float4 generated, float4 input, int inputConnected)
{
    return inputConnected != 0 ? lerp(input, generated, generated.a) : generated;
}

#endif
