// The registry of integration methods: every entry builds from its defaults and
// gives back the parameters it was made with, and every rule refuses a value
// that breaks it with a message naming the parameter.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "methods/dynamics.h"

namespace {

double good(const MethodParameter& p) { return p.rule == ParameterRule::count ? 2.0 : p.rule == ParameterRule::choice ? 1.0 : 0.5; }

std::vector<double> bad(const MethodParameter& p)
{
    const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
    switch (p.rule) {
    case ParameterRule::positive:
        return {0.0, -1.0, inf, nan};
    case ParameterRule::finite:
        return {inf, -inf, nan};
    case ParameterRule::count:
        return {0.0, 0.5, 1001.0, nan};
    case ParameterRule::choice:
        return {-1.0, 0.5, static_cast<double>(p.choices.size()), nan};
    }
    return {};
}

// The required parameters of `kind` at good values.
Numbers required(const MethodKind& kind)
{
    Numbers p;
    for (const MethodParameter& q : kind.parameters)
        if (q.required && !q.fallback)
            p[q.name] = good(q);
    return p;
}

std::vector<const MethodKind*> every_kind()
{
    std::vector<const MethodKind*> all = method_kinds();
    all.push_back(&barostat_kind());
    return all;
}

// Builds `kind` (a method, or the barostat) and returns its parameters.
Numbers build(const MethodKind& kind, const Numbers& p)
{
    if (&kind == &barostat_kind())
        return barostat_parameters(make_barostat(p));
    return method_parameters(make_method(kind.name, p));
}

TEST(Registry, EveryEntryBuildsFromItsDefaultsAndKeepsItsParameters)
{
    ASSERT_EQ(method_kinds().size(), std::variant_size_v<Method>);
    EXPECT_STREQ(method_kinds().front()->name, "berendsen");  // the default of a run
    for (const MethodKind* k : every_kind()) {
        SCOPED_TRACE(k->name);
        const Numbers made = build(*k, required(*k));
        for (const MethodParameter& q : k->parameters) {
            if (q.fallback) {
                EXPECT_EQ(made.at(q.name), *q.fallback) << q.name;
            }
        }
        Numbers all = required(*k);
        for (const MethodParameter& q : k->parameters)
            all[q.name] = good(q);
        EXPECT_EQ(build(*k, all), all);
    }
    for (const MethodKind* k : method_kinds()) {
        Method m = make_method(k->name, required(*k));
        EXPECT_EQ(method_name(m), k->name);
        std::vector<double> state(method_state(m).size(), 0.25);
        restore_method_state(m, state);
        EXPECT_EQ(method_state(m), state);
    }
}

TEST(Registry, RulesRefuseBadValuesNamingTheParameter)
{
    for (const MethodKind* k : every_kind()) {
        for (const MethodParameter& q : k->parameters) {
            for (double value : bad(q)) {
                Numbers p = required(*k);
                p[q.name] = value;
                try {
                    build(*k, p);
                    ADD_FAILURE() << k->name << " took " << q.name << " = " << value << " (" << rule_text(q) << ")";
                } catch (const std::invalid_argument& e) {
                    EXPECT_NE(std::string(e.what()).find(std::string(q.name) + " = "), std::string::npos)
                        << k->name << ": " << e.what();
                }
            }
        }
        if (!required(*k).empty()) {
            EXPECT_THROW(build(*k, {}), std::invalid_argument) << k->name << " built without its required parameters";
        }
    }
}

}  // namespace
