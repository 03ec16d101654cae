#pragma once
// Reading and writing a production through the engine's serialize operations.
//
// The serialize members of Project, OperatorGraph, Operator, Port, Connection and Span are
// declared by the engine and defined here, so the engine itself does not depend on the
// project file layout. Each one serves both directions: TreeNodeRef::writing selects it.
#include <string>

#include "engine/Project.h"

// Loads a production into `project` (replacing its graphs and spans). A file that can be
// read only in part still loads what it holds; the result is then false and `error` says
// so. When the file cannot be opened the project is left unchanged.
bool loadProjectFile(const std::string& path, Project& project, std::string* error = nullptr);

// What a read tree holds that the loader leaves out although the production means it to
// play: spans on tracks past the sixteenth ("track" 16 and up). One line per such track,
// naming `path`; empty when there is none.
std::string ignoredContentWarnings(const TreeNode& root, const std::string& path);

// Writes `project` in the form loadProjectFile reads (the graph chain is removed first).
bool saveProjectFile(const std::string& path, Project& project, std::string* error = nullptr);
