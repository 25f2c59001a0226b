# The codebook trainer: the nearest-entry search (a plain kernel everywhere,
# and on x86 AVX2 and AVX-512 ones chosen at run time), the k-means quantisers
# and the channel trainer. Only the x86 kernel files get -mavx2 / -mavx512f;
# nothing gets -mfma, since a fused multiply-add would change the rounding of
# the distances.
add_library(clipvane_trainer
  nearest_entry.cpp
  nearest_entry_search.cpp
  vector_quantizer.cpp
  trainer.cpp)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i[3-6]86|x86)$")
  target_sources(clipvane_trainer PRIVATE nearest_entry_avx2.cpp nearest_entry_avx512.cpp)
  set(avx2_flags -mavx2)
  set(avx512_flags -mavx512f)
  if(WIN32)
    # The Windows x64 stack is only 16-byte aligned, and GCC assumes more for
    # spilled vector registers: let the assembler make every vector move unaligned.
    list(APPEND avx2_flags -Wa,-muse-unaligned-vector-move)
    list(APPEND avx512_flags -Wa,-muse-unaligned-vector-move)
  endif()
  set_source_files_properties(nearest_entry_avx2.cpp PROPERTIES COMPILE_OPTIONS "${avx2_flags}")
  set_source_files_properties(nearest_entry_avx512.cpp PROPERTIES COMPILE_OPTIONS "${avx512_flags}")
  target_compile_definitions(clipvane_trainer PRIVATE CLIPVANE_X86_KERNELS)
endif()
# The trainer's lists live in the encoder's state, and it falls back to the
# built-in codebook for fields it has no data for.
target_link_libraries(clipvane_trainer PUBLIC clipvane_encoder clipvane_builtin_codebook clipvane_numeric Threads::Threads)
