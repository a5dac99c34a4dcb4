// What the processor offers, read once per process. The kernel choice
// (dispatch.cpp) and the fused multiply-add (fma.cpp) both read it here.
#pragma once

namespace tallix {

struct CpuFeatures {
  bool fma3 = false;
  bool fma4 = false;
  bool avx2 = false;    // with fma3
  bool avx512 = false;  // F and DQ, with avx2
  bool ifma = false;    // IFMA, VBMI2 and VL, with avx512
};

const CpuFeatures& cpu_features() noexcept;

}  // namespace tallix
