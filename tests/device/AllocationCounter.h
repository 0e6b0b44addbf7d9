// Counts the allocations the test program makes, to show that a command makes none.
#pragma once

namespace zorbel::test {

long allocationCount();

}  // namespace zorbel::test
