// Texts that more than one front end shows, each written once.
#pragma once

#include <cstring>
#include <string>

namespace talvex {

// A correction option other than 0 or 1.
inline constexpr const char* INVALID_OPTION = "Invalid Option";
// A DN image that cannot be opened.
inline constexpr const char* CANNOT_OPEN_INPUT = "Can Not Open the Input File";

// A path or name as every message quotes it.
inline std::string quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

// The system's own words for an error number.
inline std::string systemReason(int error)
{
    return std::strerror(error);
}

} // namespace talvex
