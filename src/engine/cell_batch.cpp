// The choice of lane code for this machine, its work storage, and the
// description of a SliceSystem it reads.
#include "engine/cell_batch.hpp"

#include <algorithm>

#include "engine/slice_propagation.hpp"

namespace tarnok::engine {

static_assert(max_directions <= batch_max_directions);
static_assert(sizeof(ConservingMatrix::top) == sizeof(PlainMatrix::top));

LaneBlock* BatchWorkspace::reserve(Buffer buffer, std::size_t blocks) {
  std::vector<LaneBlock>& storage = buffers_[buffer];
  if (storage.size() < blocks) storage.resize(blocks);
  return storage.data();
}

std::size_t BatchWorkspace::capacity_blocks() const noexcept {
  std::size_t blocks = 0;
  for (const std::vector<LaneBlock>& storage : buffers_) blocks += storage.capacity();
  return blocks;
}

namespace {

using Kernel = void (*)(const BatchSystem&, BatchColumns&, BatchWorkspace&);

struct KernelChoice {
  Kernel kernel;
  const char* name;
};

// Decided once per process: the processor does not change under it.
const KernelChoice& kernel_choice() noexcept {
  static const KernelChoice choice = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return KernelChoice{&batch_kernels::avx2::transmit, "avx2"};
    return KernelChoice{&batch_kernels::sse2::transmit, "sse2"};
  }();
  return choice;
}

PlainMatrix plain(const ConservingMatrix& m) noexcept {
  PlainMatrix p;
  std::copy(m.top.data(), m.top.data() + 20, p.top);
  p.corner = m.corner;
  return p;
}

void copy5(const Vector5& v, double (&out)[5]) noexcept {
  for (int i = 0; i < 5; ++i) out[i] = v(i);
}

}  // namespace

void transmit_batch(const BatchSystem& system, BatchColumns& columns, BatchWorkspace& work) {
  kernel_choice().kernel(system, columns, work);
}

const char* batch_instruction_set() noexcept { return kernel_choice().name; }

bool SliceSystem::batchable(std::size_t time_steps) const noexcept {
  // Forward mode stays with the scalar code; a record beyond the limit would
  // need the scalar code's segments.
  if (direction_count() > 0 && !records()) return false;
  return !records() || time_steps * z_slices_ * batch_lanes <= record_limit_;
}

BatchSystem SliceSystem::describe(std::vector<BatchPartial>& partials) const {
  BatchSystem s;
  s.decay_step = plain(decay_step_);
  s.absorption_step = plain(absorption_step_);
  s.two_photon_step = plain(two_photon_step_);
  copy5(rates_.absorbers, s.absorbers);
  copy5(rates_.two_photon_absorbers, s.two_photon_absorbers);
  copy5(initial_, s.initial);
  s.inv_photon_energy = rates_.inv_photon_energy;
  s.dz = dz_;
  s.z_slices = z_slices_;
  s.averaged = averaged_;
  s.two_photon = two_photon_;
  s.records = records();
  partials.resize(partials_.size());
  for (std::size_t v = 0; v < partials_.size(); ++v) {
    BatchPartial& p = partials[v];
    p.decay_step = plain(partials_[v].decay_step);
    p.absorption_step = plain(partials_[v].absorption_step);
    p.two_photon_step = plain(partials_[v].two_photon_step);
    copy5(partials_[v].absorbers, p.absorbers);
    copy5(partials_[v].two_photon_absorbers, p.two_photon_absorbers);
  }
  s.partials = partials.data();
  s.n_dir = partials.size();
  return s;
}

}  // namespace tarnok::engine
