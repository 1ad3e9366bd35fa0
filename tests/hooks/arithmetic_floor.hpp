// The floor of a batch: how many (multiply, then add) pairs one core does per
// second, to measure batch searches against as scans are measured against
// the memory floor.
#pragma once

namespace tessaly {

// Pairs per second of single-precision multiplies and adds, each rounded
// (never fused), in independent chains held in registers, on the widest
// registers the kernels use here, one thread, no memory traffic.
double multiply_add_rate() noexcept;

}  // namespace tessaly
