// Counts heap allocations made through operator new between Start and Stop,
// and makes one of them fail on demand.
//
// Linking allocation_counter.cpp replaces the global allocation functions
// (operator new / new[] in their plain and nothrow forms), which C++ allows
// any program to do at link time. Only programs that ask for the counter
// (tests, the benchmark) link it.
#pragma once

namespace rvqtest {

// `failAt` >= 0: the allocation with that number (0 is the first counted
// one) fails, as operator new fails when memory runs out: std::bad_alloc,
// or null from the nothrow forms.
void StartCountingAllocations(long failAt = -1);
// The number of allocations since StartCountingAllocations (the failed one
// included).
long StopCountingAllocations();

// Blocks made between the last StartCountingAllocations and its Stop that
// are not freed yet (also counting frees after Stop).
long LiveCountedAllocations();

}  // namespace rvqtest
