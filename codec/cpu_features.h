#pragma once
// What the processor offers the encoder's and the trainer's fast kernels, read
// once per process. Only x86 has fast kernels; on every other architecture
// every flag is false and the plain kernels run.

namespace clipvane {

struct CpuFeatures {
  bool avx2 = false;     // AVX2 instructions, and an operating system that saves their registers
  bool avx512f = false;  // AVX-512 Foundation, likewise (implies avx2 here)
};

const CpuFeatures& ProcessorFeatures();

}  // namespace clipvane
