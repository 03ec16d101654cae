#pragma once
// Counts heap allocations made through the global allocation functions, for the tests that
// check that steady frames allocate nothing. AllocationCounter.cpp replaces operator new and
// delete for the whole test program that links it, so a program links it only when all of
// its tests can live with that.
namespace allocations {

// Starts counting from zero.
void start();
// Stops counting and returns how many allocations were made while counting.
long stop();
// Leaves out the work between pause and resume (a read-back that is not part of a frame).
void pause();
void resume();

}  // namespace allocations
