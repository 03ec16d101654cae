#pragma once
// Registers the operator types of the sim library under their display names (see the
// registry in engine/Operator.h). Safe to call more than once.
void registerSimOperators();
