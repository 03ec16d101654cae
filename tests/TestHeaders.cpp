// The owner of the suites' precompiled headers (see tests/CMakeLists.txt): nothing of its own.
