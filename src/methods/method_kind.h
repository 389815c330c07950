// What the registry knows of an integration method or barostat: its name, its
// parameters with their rules and defaults, and whether it draws random
// numbers. Each method states its own (a static kind() in its file); Python's
// vorlan.methods, the command line's options and the checkpoint layout read
// them through the registry (registry.h).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

// Parameters by name, as checkpoints and Python carry them.
using Numbers = std::map<std::string, double>;

// How a parameter's value is checked.
enum class ParameterRule {
    positive,  // finite and > 0
    finite,    // any finite number
    count,     // an integer from 1 to 1000
    choice,    // the index of one of the parameter's choices
};

struct MethodParameter {
    const char* name;                  // as Python, the files and the command line spell it
    ParameterRule rule;                // what its value must be
    const char* meaning;               // what it is, with its unit, in a few words
    std::optional<double> fallback;    // its value when not given (none: see required)
    bool required = true;              // without a fallback: must be given; else may stay absent
    std::vector<std::string> choices;  // rule choice: the allowed words, the value their index
};

struct MethodKind {
    const char* name;                        // the engine's name ("nose_hoover")
    const char* summary;                     // the step in one line
    std::vector<MethodParameter> parameters;
    bool stochastic;                         // draws random numbers keyed by the seed
};

// The rule in words: "positive", "finite", "an integer from 1 to 1000", "one of xyz, xy, none".
std::string rule_text(const MethodParameter& p);
// Every parameter of `given` known to `kind`, the required ones present, the
// fallbacks filled in; std::invalid_argument naming the parameter otherwise.
// The values' rules are checked by the constructors of the methods.
Numbers complete_parameters(const MethodKind& kind, const Numbers& given);
