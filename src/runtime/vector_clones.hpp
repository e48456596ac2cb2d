// Run-time choice of instruction set for the hot element-wise loops.
//
// A function marked QORVA_VECTOR_CLONES is compiled once per x86-64 level
// that widens the vectors (AVX-512, AVX2 + FMA, the SSE2 baseline) and the
// dynamic loader resolves each call to the widest the processor runs.  The
// files that use it are built with unfused multiplies and adds, so every
// clone computes the same values.  ThreadSanitizer builds go without: the
// loader runs the resolvers before the TSan runtime is up.  Elsewhere
// (aarch64) there is one build for the baseline, which there includes NEON.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_THREAD__)
#define QORVA_VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#define QORVA_HAS_VECTOR_CLONES 1
#else
#define QORVA_VECTOR_CLONES
#endif
