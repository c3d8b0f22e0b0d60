// Comparisons with values printed to a given number of digits.
//
// A worked figure such as 0.985706 stands for every value that rounds to
// it, so a computed value matches when it lies within half a unit of the
// last printed digit. Bit patterns are compared exactly instead.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

namespace talvex::testing {

// Half a unit of the last digit of a decimal such as "-0.00287564" or "1.38418e-11".
inline double halfUnitOfLastDigit(const std::string& printed)
{
    const std::size_t exponentAt = printed.find_first_of("eE");
    const std::string mantissa = printed.substr(0, exponentAt);
    const int exponent =
        exponentAt == std::string::npos ? 0 : std::stoi(printed.substr(exponentAt + 1));
    const std::size_t point = mantissa.find('.');
    const int decimals =
        point == std::string::npos ? 0 : static_cast<int>(mantissa.size() - point - 1);
    return 0.5 * std::pow(10.0, exponent - decimals);
}

inline ::testing::AssertionResult matchesPrinted(const char* valueText, const char*, double value,
                                                 const std::string& printed)
{
    const double expected = std::stod(printed);
    if (std::fabs(value - expected) <= halfUnitOfLastDigit(printed) * (1.0 + 1e-9)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << valueText << " is " << std::to_string(value) << " ("
                                         << value << "), which does not print as " << printed;
}

inline std::uint32_t bitsOf(float value)
{
    return std::bit_cast<std::uint32_t>(value);
}

inline std::uint64_t bitsOf(double value)
{
    return std::bit_cast<std::uint64_t>(value);
}

} // namespace talvex::testing

// EXPECT_PRINTED(value, "0.985706"): value rounds to the printed decimal.
#define EXPECT_PRINTED(value, printed)                                                             \
    EXPECT_PRED_FORMAT2(::talvex::testing::matchesPrinted, value, printed)
