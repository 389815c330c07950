// Native exception -> Python exception, for the catch-all handler of every call
// from the binding into the engine.
#pragma once

// Call only from inside a catch block. Leaves a pending Python error standing;
// otherwise rethrows the exception being handled and sets the matching Python
// exception with its what() text.
void translate_exception();

// True when the compile-time and run-time "major.minor" texts differ in the
// characters that the import-time version check compares.
bool version_mismatch(const char* compiletime, const char* runtime);
