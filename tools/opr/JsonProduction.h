#pragma once
// Builds a Project from the JSON source of a production (format: docs/production-format.md).
#include <string>
#include <vector>

class Project;

// Replaces the project's graphs and spans by what the JSON text describes. Every name is
// checked against the operator registry first (so the caller registers the operator types
// it knows), and the wiring is checked as a whole: kinds of connected ports, cycles, the
// graphs that "Graph" operators name. On any error the project is left unspecified and
// `error` holds "<file>:<line>: <what>". Nothing is evaluated and no data file is opened.
//
// Spans keep the "timeType" of the source, which the production file stores for the editor;
// the player reads every span of a file as type 0 (local time t + offsetGlobal), so a caller
// that plays the project without writing it sets timeType to 0 first.
//
// Mistakes that still give a playable production (a graph whose output has no connection,
// an operator that nothing reads, overlapping spans or a gap in the timeline) are appended
// to `warnings`, when given, as "<file>:<line>: warning: <what>".
bool buildProjectFromJson(const std::string& text, const std::string& fileName, Project& project, std::string& error,
                          std::vector<std::string>* warnings = nullptr);
