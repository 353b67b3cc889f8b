// How much more memory this process may take. The machine's total says
// little: other processes hold part of it, and a resource limit or a control
// group can cap this process far below it, so a fit that fits the machine can
// still die half-way for want of memory.
#pragma once

#include <cstdint>

namespace tarnok::module {

// Bytes this process can still allocate: the smallest of what the kernel
// could hand out now (MemAvailable), the room left under the soft address-
// space and data limits, and the room left in each memory control group the
// process belongs to (reclaimable file cache counted as free). The machine's
// physical memory stands in when MemAvailable is unreadable; UINT64_MAX when
// nothing at all can be read. May throw std::bad_alloc.
std::uint64_t available_memory();

}  // namespace tarnok::module
