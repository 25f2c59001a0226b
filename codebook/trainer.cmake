# The codebook trainer: the nearest-entry search (a plain kernel everywhere,
# and on x86 AVX2 and AVX-512 ones chosen at run time), the k-means quantisers
# and the channel trainer.
add_library(clipvane_trainer
  nearest_entry.cpp
  nearest_entry_search.cpp
  vector_quantizer.cpp
  trainer.cpp)
clipvane_x86_kernels(clipvane_trainer -mavx2 nearest_entry_avx2.cpp)
clipvane_x86_kernels(clipvane_trainer -mavx512f nearest_entry_avx512.cpp)
# The trainer's lists live in the encoder's state, and it falls back to the
# built-in codebook for fields it has no data for.
target_link_libraries(clipvane_trainer PUBLIC clipvane_encoder clipvane_builtin_codebook clipvane_numeric Threads::Threads)
