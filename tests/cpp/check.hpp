// A minimal self-registering test harness for the pure C++ codec core.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace core_tests {

struct Case {
    const char* name;
    std::function<void()> body;
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

inline int& failures() {
    static int count = 0;
    return count;
}

struct Register {
    Register(const char* name, std::function<void()> body) { registry().push_back({name, std::move(body)}); }
};

}  // namespace core_tests

#define CORE_CAT2(a, b) a##b
#define CORE_CAT(a, b) CORE_CAT2(a, b)
#define TEST_CASE(name)                                                                   \
    static void CORE_CAT(test_body_, __LINE__)();                                         \
    static core_tests::Register CORE_CAT(test_reg_, __LINE__)(name, CORE_CAT(test_body_, __LINE__)); \
    static void CORE_CAT(test_body_, __LINE__)()

#define CHECK(cond)                                                                    \
    do {                                                                               \
        if (!(cond)) {                                                                 \
            ++core_tests::failures();                                                  \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
        }                                                                              \
    } while (0)
