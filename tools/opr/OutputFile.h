#pragma once
// Writing a built production file without damaging what is at the output path.
#include <string>

class Project;

// Writes the project to `out` through a temporary file beside it that is renamed into
// place, so a failed write never leaves half a file and readers see the old file or the
// new one. A symbolic link is written through (its target is replaced, the link stays).
// Refused, with `error` saying why: an output that is the source file itself, and an
// output that exists but is not a regular file (a folder, a pipe, a device).
bool writeProductionFile(const std::string& source, const std::string& out, Project& project, std::string& error);
