#pragma once
// What a live reload drops from the process-wide caches when a file changes on disk, so
// that the next load reads it again while everything else stays cached.
#include <string>
#include <vector>

class Texture;

// Drops the compiled stages of the shader source `path`. When no cached stage came from
// it (an include, or a file not compiled yet), every stage compiled from source is dropped:
// which sources include it is not known. Returns the stages dropped.
size_t forgetShaderFile(const std::string& path);

// Takes the texture loaded from `path` out of the cache (and forgets that it failed), so
// that the next load reads the file again. The textures taken out are returned: operators
// of the production on screen may still bind them, so the caller deletes them once that
// production is gone.
std::vector<Texture*> forgetTextureFile(const std::string& path);

// How many shader stages were compiled from source so far (a reload that compiles only
// what changed keeps this low).
size_t shaderStagesCompiled();

// Programs that operators load from a file path are compiled again at every load, so that
// an edited file is seen. A live reload that calls forgetShaderFile for every changed file
// turns that off (and keeps unchanged programs).
void setShaderChangesForgotten(bool on);
