#pragma once
// Whether the processor has vector units for the eight- and sixteen-lane paths to map onto.
// Elsewhere the compiler spells every lane out, and the plain per-value loops are quicker.

#if defined(__SSE2__) || defined(__ARM_NEON)
inline constexpr bool vector_units = true;
#else
inline constexpr bool vector_units = false;
#endif
