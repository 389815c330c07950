// The integration method of a run and its barostat: which step the next steps
// take, with the state each carries from step to step.
//
// Methods (one class and file each): Berendsen (the default: with the setting
// tau its step is Cell::integrate's, operation for operation),
// NVE, Langevin, Bussi, NoseHoover; a CRescale barostat may join any of them but
// NVE. Langevin, Bussi and the barostat draw counter-based random numbers keyed
// by the seed (noise.h), so they need one.
//
// Parameters and state travel as name -> number lists (checkpoints, Python): a
// method's parameters by name (an absent optional one is none), its state as a
// list of numbers in the order of state().
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "berendsen.h"
#include "bussi.h"
#include "c_rescale.h"
#include "langevin.h"
#include "nose_hoover.h"
#include "nve.h"

using Method = std::variant<Berendsen, NVE, Langevin, Bussi, NoseHoover>;
using Numbers = std::map<std::string, double>;

// A method from its name ("berendsen", "nve", "langevin", "bussi", "nose_hoover")
// and parameters; std::invalid_argument for an unknown name or parameter, or a
// value out of range.
Method make_method(const std::string& name, const Numbers& parameters);
std::string method_name(const Method&);
Numbers method_parameters(const Method&);
std::vector<double> method_state(const Method&);
// Puts back a state of method_state; std::invalid_argument when it does not fit
// or holds a number that is not finite.
void restore_method_state(Method&, const std::vector<double>&);

// The barostat from its parameters: pressure, tau, compressibility (optional).
CRescale make_barostat(const Numbers& parameters);
Numbers barostat_parameters(const CRescale&);
// Puts back the barostat's work and start volume (0: not begun); std::invalid_argument
// when the work is not finite or the volume not finite and non-negative.
void restore_barostat_state(CRescale&, double work, double start_volume);

class Dynamics {
public:
    // The method, barostat and seed; refuses combinations that cannot run
    // (std::invalid_argument): a stochastic method or a barostat without a seed,
    // a barostat with NVE.
    void configure(Method m, std::optional<CRescale> b, std::optional<std::uint64_t> s);

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
