// Counts the heap allocations this process makes, by any route: malloc and
// its relatives, and operator new (which comes down to them). Under
// AddressSanitizer the sanitizer's allocator reports them; otherwise this
// executable's own malloc family stands in front of the C library's.
#pragma once

namespace velocart_test {

// Allocations counted while at least one AllocationScope was alive.
class AllocationScope {
public:
    AllocationScope();
    ~AllocationScope();
    AllocationScope(const AllocationScope&) = delete;
    AllocationScope& operator=(const AllocationScope&) = delete;

    long count() const;
};

}  // namespace velocart_test
