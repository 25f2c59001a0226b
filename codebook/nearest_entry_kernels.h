#pragma once
// Internal kernels behind the batch nearest-entry search. The AVX2 ones live
// in their own translation unit, the only one built with -mavx2, and are
// called only after a run-time check of the processor.

namespace clipvane::detail {

inline constexpr int kSearchDimension = 8;  // components of a reflection record
inline constexpr float kNoDistance = 3.4028235e38f;  // largest finite float: "nothing taken yet"

void NearestEntriesPortable(const float* records, int recordCount, const float* entries, int entryCount,
                            int* indices, float* distances);
void NearestLevelsPortable(const float* values, int valueCount, const float* levels, int levelCount,
                           int* indices, float* distances);

#if defined(CLIPVANE_HAVE_AVX2_KERNEL)
void NearestEntriesAvx2(const float* records, int recordCount, const float* entries, int entryCount,
                        int* indices, float* distances);
void NearestLevelsAvx2(const float* values, int valueCount, const float* levels, int levelCount, int* indices,
                       float* distances);
void NearestEntriesAvx512(const float* records, int recordCount, const float* entries, int entryCount,
                          int* indices, float* distances);
#endif

}  // namespace clipvane::detail
