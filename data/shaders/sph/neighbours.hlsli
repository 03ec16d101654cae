// Neighbour search, for the programs that declare gVoxelEnd (the end of each voxel's
// range in the sorted list; a voxel starts where the previous one ends) before including
// this file.
#ifndef SPH_NEIGHBOURS_HLSLI
#define SPH_NEIGHBOURS_HLSLI

#include "sph.hlsli"

// The sorted range of voxel row (x - 1 .. x + 1, y, z): the three voxels of a row are
// consecutive keys, so the 27 neighbour voxels are nine ranges. Empty outside the grid.
void rowRange(int3 center, int dy, int dz, out uint first, out uint last)
{
    int y = center.y + dy, z = center.z + dz;
    first = 0;
    last = 0;
    if (y < 0 || y >= GRID_Y || z < 0 || z >= GRID_Z)
        return;
    uint k0 = voxelKey(int3(max(center.x - 1, 0), y, z));
    uint k1 = voxelKey(int3(min(center.x + 1, GRID_X - 1), y, z));
    first = k0 == 0 ? 0 : min(gVoxelEnd[k0 - 1], SPH_PARTICLES);
    last = min(gVoxelEnd[k1], SPH_PARTICLES);
}
#endif
