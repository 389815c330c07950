// Parameter file of a run: key = value lines kept as text, converted on demand.
//
// A line is recognised only when it matches, as a whole,
//     ^\s*([a-zA-Z0-9_]+)\s*=\s*([0-9.]+)\s*$
// Anything else (comments, signs, exponents, trailing text) is skipped silently.
// The first occurrence of a key wins. Values are never cached in converted form:
// every get_param call looks the key up and converts its text again.
#pragma once

#include <stdexcept>
#include <string>
#include <unordered_map>

#include <boost/lexical_cast.hpp>

class Parameters {
public:
    explicit Parameters(const std::string& inputfile);

    // Inserts the pair only when `name` is not yet a key.
    void set_param(const std::string& name, const std::string& p);

    // Throws std::runtime_error "Could not find parameter: <name>" for a missing key
    // and boost::bad_lexical_cast for a value that does not convert to T.
    template <typename T>
    T get_param(const std::string& name) const
    {
        const auto got = params.find(name);
        if (got == params.end())
            throw std::runtime_error("Could not find parameter: " + name);
        return boost::lexical_cast<T>(got->second);
    }

    std::unordered_map<std::string, std::string> params;  // key -> value text, as written in the file
};
