// Columns of cells advanced together, one column per lane of a vector
// register: every matrix element of the cell's propagator is a vector of
// batch_lanes values, one per column, so each arithmetic instruction serves
// them all. The lanes of a batch share one Pade degree and one number of
// squarings, the largest any of them needs, which keeps every lane's backward
// error at the unit roundoff.
//
// The lane code is compiled once per instruction set (SSE2, which every
// x86-64 has, and AVX2) in translation units of its own and chosen when first
// called; this header is all those units share with the rest of the engine,
// so it holds only plain data and declarations. No inline function is
// compiled for two instruction sets under one name, which would let the
// linker hand the AVX2 copy to a machine without it.
#pragma once

#include <cstddef>
#include <vector>

namespace tarnok::engine {

inline constexpr std::size_t batch_lanes = 4;
// The most directions the lane code carries (the fit's parameters and more).
inline constexpr std::size_t batch_max_directions = 32;

// Storage of one lane vector; the lane code alone reads and writes it.
struct alignas(32) LaneBlock {
  double lane[batch_lanes];
};

// A conserving matrix as ConservingMatrix holds it: the top 4x5 block
// column-major, then the corner.
struct PlainMatrix {
  double top[20];
  double corner;
};

// The partial derivatives of the step's rate matrix and of the attenuation
// coefficients along one direction.
struct BatchPartial {
  PlainMatrix decay_step, absorption_step, two_photon_step;
  double absorbers[5];
  double two_photon_absorbers[5];
};

// Everything the lane code needs of a SliceSystem.
struct BatchSystem {
  PlainMatrix decay_step, absorption_step, two_photon_step;
  double absorbers[5];
  double two_photon_absorbers[5];
  double initial[5];  // conserving coordinates
  double inv_photon_energy = 0.0;
  double dz = 0.0;
  std::size_t z_slices = 0;
  bool averaged = false;
  bool two_photon = false;
  bool records = false;  // derivatives by a recorded pass and a backward pass
  const BatchPartial* partials = nullptr;  // n_dir of them; none for values alone
  std::size_t n_dir = 0;
};

// The batch's columns: lanes beyond `columns` repeat column 0, so they need
// no more than it does, and their results are not read.
struct BatchColumns {
  std::size_t time_steps = 0;
  const double* incident[batch_lanes] = {};    // time_steps values each
  const double* d_incident[batch_lanes] = {};  // time_steps * n_dir, direction fastest
  double transmitted[batch_lanes] = {};        // the sum of the light that leaves
  double* d_transmitted[batch_lanes] = {};     // n_dir each; none where null
};

// Work storage of the lane code, sized by it through reserve() and kept
// from batch to batch, so a batch allocates only when it needs more than any
// before it.
class BatchWorkspace {
 public:
  enum Buffer : std::size_t { populations, adjoint, tape, squares, buffer_count };
  // At least `blocks` blocks of the buffer, keeping its contents.
  LaneBlock* reserve(Buffer buffer, std::size_t blocks);
  std::size_t capacity_blocks() const noexcept;

 private:
  std::vector<LaneBlock> buffers_[buffer_count];
};

// Sends the columns' light through the depth slices from the initial
// populations, as SliceSystem::transmit does for each column alone.
void transmit_batch(const BatchSystem& system, BatchColumns& columns, BatchWorkspace& work);

// The instruction set transmit_batch uses on this machine ("avx2" or "sse2").
const char* batch_instruction_set() noexcept;

namespace batch_kernels {
// One per instruction set, each in its own namespace and translation unit.
namespace sse2 {
void transmit(const BatchSystem& system, BatchColumns& columns, BatchWorkspace& work);
}
namespace avx2 {
void transmit(const BatchSystem& system, BatchColumns& columns, BatchWorkspace& work);
}
}  // namespace batch_kernels

}  // namespace tarnok::engine
