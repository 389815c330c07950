// The registry of integration methods: the kinds derived from the Method
// variant, and the conversions between a method and its name, parameters and
// state that Python and the checkpoints use.
#include "registry.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

namespace {

template <class... M>
std::vector<const MethodKind*> kinds_of(std::variant<M...>*)
{
    return {&M::kind()...};
}

// The method of `kind` named `name`, from completed parameters; the one
// alternative of the variant whose kind has that name.
template <std::size_t I = 0>
Method make_alternative(const MethodKind& kind, const Numbers& p)
{
    if constexpr (I < std::variant_size_v<Method>) {
        using M = std::variant_alternative_t<I, Method>;
        if (&M::kind() == &kind)
            return M::make(p);
        return make_alternative<I + 1>(kind, p);
    } else {
        throw std::logic_error(std::string("method '") + kind.name + "' is registered without a class");
    }
}

void check_size(const std::vector<double>& state, std::size_t size, const std::string& method)
{
    if (state.size() != size) {
        std::ostringstream msg;
        msg << "the saved state of " << method << " has " << state.size() << " numbers, expected " << size;
        throw std::invalid_argument(msg.str());
    }
}

}  // namespace

std::string rule_text(const MethodParameter& p)
{
    switch (p.rule) {
    case ParameterRule::positive:
        return "positive";
    case ParameterRule::finite:
        return "finite";
    case ParameterRule::count:
        return "an integer from 1 to 1000";
    case ParameterRule::choice:
        break;
    }
    std::string words;
    for (const std::string& c : p.choices)
        words += (words.empty() ? "one of " : ", ") + c;
    return words;
}

Numbers complete_parameters(const MethodKind& kind, const Numbers& given)
{
    for (const auto& entry : given) {
        bool found = false;
        for (const MethodParameter& p : kind.parameters)
            found = found || entry.first == p.name;
        if (!found) {
            std::string names;
            for (const MethodParameter& p : kind.parameters)
                names += std::string(names.empty() ? "" : ", ") + p.name;
            throw std::invalid_argument(entry.first + " is not a parameter of " + kind.name +
                                        (names.empty() ? std::string(" (it has none)") : " (it has " + names + ")"));
        }
    }
    Numbers out = given;
    for (const MethodParameter& p : kind.parameters) {
        if (out.count(p.name))
            continue;
        if (p.fallback)
            out[p.name] = *p.fallback;
        else if (p.required)
            throw std::invalid_argument(std::string(kind.name) + " needs the parameter " + p.name);
    }
    return out;
}

const std::vector<const MethodKind*>& method_kinds()
{
    static const std::vector<const MethodKind*> all = kinds_of(static_cast<Method*>(nullptr));
    return all;
}

const MethodKind& barostat_kind() { return CRescale::kind(); }

Method make_method(const std::string& name, const Numbers& parameters)
{
    std::string names;
    for (const MethodKind* k : method_kinds()) {
        if (name == k->name)
            return make_alternative(*k, complete_parameters(*k, parameters));
        names += std::string(names.empty() ? "" : ", ") + k->name;
    }
    throw std::invalid_argument("method '" + name + "' is not allowed: use " + names);
}

const MethodKind& method_kind(const Method& m)
{
    return std::visit([](const auto& x) -> const MethodKind& { return x.kind(); }, m);
}

std::string method_name(const Method& m) { return method_kind(m).name; }

Numbers method_parameters(const Method& m)
{
    return std::visit([](const auto& x) { return x.parameters(); }, m);
}

std::vector<double> method_state(const Method& m)
{
    return std::visit([](const auto& x) { return x.state(); }, m);
}

void restore_method_state(Method& m, const std::vector<double>& s)
{
    const std::string name = method_name(m);
    for (std::size_t k = 0; k < s.size(); ++k) {
        if (!std::isfinite(s[k])) {
            std::ostringstream msg;
            msg << "the saved state of " << name << " holds " << s[k] << " at entry " << k
                << ": a state the steps leave is finite";
            throw std::invalid_argument(msg.str());
        }
    }
    check_size(s, method_state(m).size(), name);
    std::visit([&](auto& x) { x.restore(s); }, m);
}

CRescale make_barostat(const Numbers& parameters)
{
    return CRescale::make(complete_parameters(barostat_kind(), parameters));
}

Numbers barostat_parameters(const CRescale& b) { return b.parameters(); }

void restore_barostat_state(CRescale& b, double work, double start_volume)
{
    if (!std::isfinite(work)) {
        std::ostringstream msg;
        msg << "the saved barostat work " << work << " is not allowed: the work of the moves is finite";
        throw std::invalid_argument(msg.str());
    }
    if (!(std::isfinite(start_volume) && start_volume >= 0.0)) {
        std::ostringstream msg;
        msg << "the saved barostat start volume " << start_volume
            << " is not allowed: it is a finite positive volume, or 0 before the barostat began";
        throw std::invalid_argument(msg.str());
    }
    b.work = work;
    b.start_volume = start_volume;
}
