#pragma once

// For the functions that run once per sampled edge, inside several loops: the
// compiler is told to inline them everywhere rather than left to weigh their
// size (left to itself, it kept the index look-up out of line, which cost
// about 12% of a call).
#if defined(__GNUC__)
#define CORVANE_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define CORVANE_ALWAYS_INLINE inline
#endif
