// Parameter set of a run: key = value pairs kept as text, converted on demand.
//
// From a file, a line is recognised only when it matches, as a whole,
//     ^\s*([a-zA-Z0-9_]+)\s*=\s*([0-9.]+)\s*$
// Anything else (comments, signs, exponents, trailing text) is skipped silently.
// The first occurrence of a key wins. Values are never cached in converted form:
// every get_param call looks the key up and converts its text again.
//
// Only a readable regular file of at most max_file_bytes is read; it is opened
// without blocking, so a FIFO or a device is refused at once instead of hanging.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include <boost/lexical_cast.hpp>

// The parameter file is missing, or is not a regular file that can be read.
// what() is "Cannot open file: <path>".
class ParameterFileError : public std::runtime_error {
public:
    explicit ParameterFileError(const std::string& path) : std::runtime_error("Cannot open file: " + path) {}
};

class Parameters {
public:
    // A parameter file is a few hundred bytes; anything longer is not one.
    static constexpr std::size_t max_file_bytes = std::size_t(1) << 20;

    // Throws ParameterFileError for a path that is not a readable regular file and
    // std::invalid_argument for a file longer than max_file_bytes.
    explicit Parameters(const std::string& inputfile);
    // The key and value text of one line of a parameter file (without its line
    // feed), when the whole line matches the pattern above; false otherwise.
    static bool parse_line(const std::string& line, std::string& key, std::string& value);

    // Key -> value text as given (dictionary input); no pattern is applied.
    explicit Parameters(const std::unordered_map<std::string, std::string>& values);

    // Inserts the pair only when `name` is not yet a key.
    void set_param(const std::string& name, const std::string& p);
    // Replaces the value of `name`, or adds the key (tests, steering between runs).
    void override_param(const std::string& name, const std::string& value);

    const std::unordered_map<std::string, std::string>& entries() const { return params; }

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

private:
    std::unordered_map<std::string, std::string> params;  // key -> value text, as written in the file
};
