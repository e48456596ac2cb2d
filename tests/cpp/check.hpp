// Minimal assertion helpers for the C++ unit tests (one executable per unit,
// run by ctest).  A failed check prints where and why and makes main fail.
#pragma once

#include <cstdio>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace qtest {

using Case = std::pair<const char*, std::function<void()>>;

inline int& failures() { static int count = 0; return count; }
inline std::vector<Case>& registry() { static std::vector<Case> cases; return cases; }

struct Register {
    Register(const char* name, std::function<void()> fn) { registry().emplace_back(name, std::move(fn)); }
};

inline void fail(const char* file, int line, const std::string& what) {
    ++failures();
    std::printf("  %s:%d: %s\n", file, line, what.c_str());
}

inline int run_all() {
    int failed_cases = 0;
    for (auto& [name, fn] : registry()) {
        const int before = failures();
        try {
            fn();
        } catch (const std::exception& e) {
            fail(__FILE__, __LINE__, std::string("unexpected exception: ") + e.what());
        }
        failed_cases += failures() != before;
        std::printf("%s %s\n", failures() == before ? "[ ok ]" : "[FAIL]", name);
    }
    std::printf("%d passed, %d failed\n", static_cast<int>(registry().size()) - failed_cases, failed_cases);
    return failed_cases == 0 ? 0 : 1;
}

}  // namespace qtest

#define QTEST_CONCAT2(a, b) a##b
#define QTEST_CONCAT(a, b) QTEST_CONCAT2(a, b)
#define TEST_CASE(name)                                                                                \
    static void QTEST_CONCAT(test_fn_, __LINE__)();                                                    \
    static qtest::Register QTEST_CONCAT(test_reg_, __LINE__)(name, &QTEST_CONCAT(test_fn_, __LINE__)); \
    static void QTEST_CONCAT(test_fn_, __LINE__)()

#define CHECK(cond) \
    do { if (!(cond)) qtest::fail(__FILE__, __LINE__, "CHECK(" #cond ")"); } while (0)

#define CHECK_EQ(a, b)                                                                                        \
    do {                                                                                                      \
        const auto& va_ = (a);                                                                                \
        const auto& vb_ = (b);                                                                                \
        if (!(va_ == vb_))                                                                                    \
            qtest::fail(__FILE__, __LINE__,                                                                   \
                        "CHECK_EQ(" #a ", " #b "): " + std::to_string(va_) + " != " + std::to_string(vb_));   \
    } while (0)

// Runs expr and checks that it throws E whose what() equals msg ("" = any message).
#define CHECK_THROWS(E, expr, msg)                                                                            \
    do {                                                                                                      \
        bool thrown_ = false;                                                                                 \
        try {                                                                                                 \
            expr;                                                                                             \
        } catch (const E& e_) {                                                                               \
            thrown_ = true;                                                                                   \
            if (std::string(msg).size() && std::string(e_.what()) != std::string(msg))                        \
                qtest::fail(__FILE__, __LINE__, std::string("message '") + e_.what() + "' != '" + (msg) + "'"); \
        }                                                                                                     \
        if (!thrown_) qtest::fail(__FILE__, __LINE__, "expected " #E " from " #expr);                        \
    } while (0)

#define QTEST_MAIN \
    int main() { return qtest::run_all(); }
