# The codebook trainer: the nearest-entry search (a portable kernel, and on x86
# AVX2 and AVX-512 ones chosen at run time), the k-means quantisers and the
# channel trainer. Only the SIMD files get -mavx2 / -mavx512f; nothing gets
# -mfma, since a fused multiply-add would change the rounding of the distances.
add_library(clipvane_trainer
  nearest_entry.cpp
  nearest_entry_search.cpp
  vector_quantizer.cpp
  trainer.cpp)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i[3-6]86)$")
  target_sources(clipvane_trainer PRIVATE nearest_entry_avx2.cpp nearest_entry_avx512.cpp)
  set_source_files_properties(nearest_entry_avx2.cpp PROPERTIES COMPILE_OPTIONS "-mavx2")
  set_source_files_properties(nearest_entry_avx512.cpp PROPERTIES COMPILE_OPTIONS "-mavx512f")
  target_compile_definitions(clipvane_trainer PRIVATE CLIPVANE_HAVE_AVX2_KERNEL)
endif()
target_link_libraries(clipvane_trainer PUBLIC Threads::Threads)
# The trainer falls back to the built-in codebook for fields it has no data for.
target_link_libraries(clipvane_trainer PUBLIC clipvane_encoder clipvane_builtin_codebook)
