#pragma once
// The kernels behind the batch nearest-entry search (nearest_entry.h). The x86
// ones live in their own translation units, the only ones built with -mavx2 or
// -mavx512f, and are called only through a set the processor runs.

namespace clipvane::detail {

inline constexpr int kSearchDimension = 8;  // components of a reflection record
inline constexpr float kNoDistance = 3.4028235e38f;  // largest finite float: "nothing taken yet"

void NearestEntriesPlain(const float* records, int recordCount, const float* entries, int entryCount,
                         int* indices, float* distances);
void NearestLevelsPlain(const float* values, int valueCount, const float* levels, int levelCount, int* indices,
                        float* distances);

#if defined(CLIPVANE_X86_KERNELS)
void NearestEntriesAvx2(const float* records, int recordCount, const float* entries, int entryCount,
                        int* indices, float* distances);
void NearestLevelsAvx2(const float* values, int valueCount, const float* levels, int levelCount, int* indices,
                       float* distances);
void NearestEntriesAvx512(const float* records, int recordCount, const float* entries, int entryCount,
                          int* indices, float* distances);
#endif

}  // namespace clipvane::detail
