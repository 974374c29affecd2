// Counts heap allocations made through operator new between Start and Stop.
//
// Linking allocation_counter.cpp replaces the global allocation functions
// (operator new / new[] in their plain and nothrow forms), which C++ allows
// any program to do at link time. Only programs that ask for the counter
// (tests, the benchmark) link it.
#pragma once

namespace rvqtest {

void StartCountingAllocations();
// The number of allocations since StartCountingAllocations.
long StopCountingAllocations();

}  // namespace rvqtest
