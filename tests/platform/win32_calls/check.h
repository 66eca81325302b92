// A small check harness for the Win32 calls program, which builds with the host's compiler and
// with mingw-w64 alike: named cases, checks that report and go on, and a summary.
#pragma once

#include <sstream>
#include <string>
#include <type_traits>
#include <utility>

namespace korvo::calls {

using CaseFunction = void (*)();

// Adds a case to the program; cases run in the order their files define them.
struct CaseRegistration {
    CaseRegistration(const char* name, CaseFunction run);
};

// Records a failed check of the running case.
void Fail(const char* file, int line, const std::string& what);

template <typename T>
std::string Show(const T& value) {
    std::ostringstream out;
    if constexpr (std::is_pointer_v<T>) {
        out << reinterpret_cast<const void*>(value);
    } else if constexpr (std::is_enum_v<T>) {
        out << static_cast<long long>(value);
    } else if constexpr (std::is_integral_v<T> && sizeof(T) == 1) {
        out << static_cast<int>(value);
    } else {
        out << value;
    }
    return out.str();
}

template <typename A, typename B>
bool Equal(const A& actual, const B& expected, const char* actualText, const char* expectedText,
           const char* file, int line) {
    bool same;
    if constexpr (std::is_integral_v<A> && std::is_integral_v<B>) {
        same = std::cmp_equal(actual, expected);
    } else {
        same = actual == expected;
    }
    if (!same) {
        Fail(file, line,
             std::string(actualText) + " is " + Show(actual) + ", not " + expectedText +
                 (Show(expected) == expectedText ? "" : " (" + Show(expected) + ")"));
    }
    return same;
}

}  // namespace korvo::calls

#define KORVO_CALLS_JOIN2(a, b) a##b
#define KORVO_CALLS_JOIN(a, b) KORVO_CALLS_JOIN2(a, b)

// CALLS_CASE(Name) { ... }: one case of the program.
#define CALLS_CASE(name)                                                                      \
    static void name();                                                                       \
    static const ::korvo::calls::CaseRegistration KORVO_CALLS_JOIN(name, Registration)(#name, \
                                                                                       name); \
    static void name()

// Checks that report a failure and let the case go on.
#define CHECK(condition) \
    ((condition) ? true : (::korvo::calls::Fail(__FILE__, __LINE__, #condition), false))
#define CHECK_EQ(actual, expected) \
    ::korvo::calls::Equal((actual), (expected), #actual, #expected, __FILE__, __LINE__)
// End the case when the check fails: what follows depends on it.
#define REQUIRE(condition)     \
    do {                       \
        if (!CHECK(condition)) \
            return;            \
    } while (false)
#define REQUIRE_EQ(actual, expected)     \
    do {                                 \
        if (!CHECK_EQ(actual, expected)) \
            return;                      \
    } while (false)
