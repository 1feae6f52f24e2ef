// The program's main routine, kept apart from main() so that tests can run it.
#pragma once

// Runs the whole program on the calling thread; returns the exit status, 0 or 1.
int OrbitToneMain();
