#include <cstdio>

#include "check.hpp"

int main() {
    int failed_cases = 0;
    for (const auto& c : core_tests::registry()) {
        const int before = core_tests::failures();
        c.body();
        if (core_tests::failures() != before) {
            ++failed_cases;
            std::fprintf(stderr, "FAILED: %s\n", c.name);
        }
    }
    const auto total = static_cast<int>(core_tests::registry().size());
    std::printf("%d passed, %d failed\n", total - failed_cases, failed_cases);
    return failed_cases == 0 ? 0 : 1;
}
