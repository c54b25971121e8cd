// A minimal test runner for the Windows test programs: Debian has no
// GoogleTest built for mingw-w64. Tests register themselves with TEST_CASE,
// CHECK records a failure and goes on, REQUIRE ends the test. The summary
// line "N passed, N failed" is the one test harnesses read.
#pragma once

#include <exception>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Test {
    std::string group;
    std::string name;
    std::function<void()> body;
};

inline std::vector<Test>& Registry() {
    static std::vector<Test> tests;
    return tests;
}

struct Failures {
    int count = 0;
};
inline Failures& Current() {
    static Failures failures;
    return failures;
}

struct Abort {};

inline void Fail(const char* file, int line, const std::string& what, bool fatal) {
    ++Current().count;
    std::cout << "    " << file << ":" << line << ": " << what << "\n";
    if (fatal) throw Abort{};
}

struct Registrar {
    Registrar(const char* group, const char* name, std::function<void()> body) {
        Registry().push_back({group, name, std::move(body)});
    }
};

// Runs every test whose "group.name" contains filter (all when empty).
inline int RunAll(const std::string& filter = {}) {
    int passed = 0, failed = 0;
    for (const Test& test : Registry()) {
        const std::string full = test.group + "." + test.name;
        if (!filter.empty() && full.find(filter) == std::string::npos) continue;
        Current().count = 0;
        try {
            test.body();
        } catch (const Abort&) {
        } catch (const std::exception& error) {
            Fail(__FILE__, __LINE__, std::string("unexpected exception: ") + error.what(), false);
        } catch (...) {
            Fail(__FILE__, __LINE__, "unexpected exception", false);
        }
        const bool ok = Current().count == 0;
        (ok ? passed : failed)++;
        std::cout << (ok ? "[  OK  ] " : "[ FAIL ] ") << full << std::endl;
    }
    std::cout << passed << " passed, " << failed << " failed" << std::endl;
    return failed == 0 ? 0 : 1;
}

template <class A, class B>
std::string Describe(const char* a, const char* b, const A& va, const B& vb) {
    std::ostringstream out;
    out << a << " == " << b << "  (" << va << " vs " << vb << ")";
    return out.str();
}

}  // namespace check

#define CHECK_CONCAT2(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT2(a, b)
#define TEST_CASE(group, name)                                                                        \
    static void group##_##name();                                                                     \
    static const check::Registrar CHECK_CONCAT(registrar_, __LINE__)(#group, #name, &group##_##name); \
    static void group##_##name()

#define CHECK(condition) \
    ((condition) ? void() : check::Fail(__FILE__, __LINE__, "CHECK(" #condition ")", false))
#define REQUIRE(condition) \
    ((condition) ? void() : check::Fail(__FILE__, __LINE__, "REQUIRE(" #condition ")", true))
#define CHECK_EQ(a, b) \
    (((a) == (b)) ? void() : check::Fail(__FILE__, __LINE__, check::Describe(#a, #b, (a), (b)), false))
#define CHECK_THROWS_AS(statement, type)                                                        \
    do {                                                                                        \
        bool thrown = false;                                                                    \
        try {                                                                                   \
            statement;                                                                          \
        } catch (const type&) {                                                                 \
            thrown = true;                                                                      \
        }                                                                                       \
        if (!thrown) check::Fail(__FILE__, __LINE__, "expected " #type ": " #statement, false); \
    } while (false)
