#pragma once
// The one way a family of kernels is chosen: a kernel set is a table of one
// version of each kernel, the plain set always runs, and every faster set is
// listed after it when this processor runs it. The list is made once per
// process; the fastest set is its last. The encoder and the codebook trainer
// each keep one registry of their own kernel sets.

#include <initializer_list>
#include <vector>

namespace clipvane {

template <typename KernelSet>
class KernelRegistry {
 public:
  struct Candidate {
    const KernelSet* set;
    bool runsHere;  // the processor has what the set needs
  };

  // `candidates` start with the plain set, slowest to fastest.
  KernelRegistry(std::initializer_list<Candidate> candidates) {
    for (const Candidate& candidate : candidates) {
      if (candidate.runsHere) sets_.push_back(candidate.set);
    }
  }

  const KernelSet& Plain() const { return *sets_.front(); }
  const KernelSet& Fastest() const { return *sets_.back(); }
  // The plain set first, then every faster set this processor runs.
  const std::vector<const KernelSet*>& Supported() const { return sets_; }

 private:
  std::vector<const KernelSet*> sets_;
};

}  // namespace clipvane
