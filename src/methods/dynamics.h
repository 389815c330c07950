// The integration method of a run and its barostat: which step the next steps
// take, with the state each carries from step to step.
//
// The methods and their names, parameters and rules are in the registry
// (registry.h); Berendsen is the default (with the setting tau its step is
// Cell::integrate's, operation for operation). A CRescale barostat may join any
// method but NVE. The stochastic methods and the barostat draw counter-based
// random numbers keyed by the seed (noise.h), so they need one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "registry.h"

class Dynamics {
public:
    // The method, barostat and seed; refuses combinations that cannot run
    // (std::invalid_argument): a stochastic method or a barostat without a seed,
    // a barostat with NVE.
    void configure(Method m, std::optional<CRescale> b, std::optional<std::uint64_t> s);
    // The same from the registry's names and parameters (barostat: its
    // parameters, or none); the state starts afresh, the seed is kept.
    void configure(const std::string& method, const Numbers& parameters, const std::optional<Numbers>& barostat);

    // After the state was edited (positions, box): the barostat measures the
    // pressure afresh at the next step; the work so far, the method's state and
    // the compressibility are kept.
    void state_changed();

    // The checkpoint's record, and the dynamics of one (with `seed`).
    DynamicsRecord record() const;
    void restore(const DynamicsRecord& r, std::optional<std::uint64_t> seed);

    // One step of the method numbered `step`.
    void step(Cell& cell, unsigned int step, double dt, bool verbose);
    // etot plus what the method and the barostat add to make a conserved quantity.
    double conserved(const Cell& cell) const;

    const Method& get_method() const { return method; }
    Method& get_method() { return method; }
    const std::optional<CRescale>& get_barostat() const { return barostat; }
    std::optional<CRescale>& get_barostat() { return barostat; }
    const std::optional<std::uint64_t>& get_seed() const { return seed; }

private:
    StepContext context(const Cell& cell, unsigned int step, double dt, bool verbose) const;

    Method method;                        // the thermostat (or none: NVE)
    std::optional<CRescale> barostat;     // none: constant volume
    std::optional<std::uint64_t> seed;    // key of the random numbers
};
