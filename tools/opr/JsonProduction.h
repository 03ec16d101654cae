#pragma once
// Builds a Project from the JSON source of a production (format: docs/production-format.md).
#include <string>

class Project;

// Replaces the project's graphs and spans by what the JSON text describes. Every name is
// checked against the operator registry first; on any error the project is left
// unspecified and `error` holds "<file>:<line>: <what>".
bool buildProjectFromJson(const std::string& text, const std::string& fileName, Project& project, std::string& error);
