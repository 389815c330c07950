// The registry of integration methods: the one list of them. A method is its own
// file (a class with check, step, extra_energy and the registry's kind, make,
// parameters, state and restore; see nve.h) plus one entry in `Method` below;
// the names, parameters and rules that Python's vorlan.methods, the command
// line and the checkpoints use all come from here.
//
// The barostat is registered beside the methods (barostat_kind), so that its
// parameters travel the same way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "berendsen.h"
#include "bussi.h"
#include "c_rescale.h"
#include "langevin.h"
#include "method_kind.h"
#include "nose_hoover.h"
#include "nve.h"

// Every method, one entry each; the first is the default of a run.
using Method = std::variant<Berendsen, NVE, Langevin, Bussi, NoseHoover>;

// The kinds of every method, in the order of Method.
const std::vector<const MethodKind*>& method_kinds();
const MethodKind& barostat_kind();

// A method from its name and parameters; std::invalid_argument for an unknown
// name or parameter, a missing one, or a value out of range (naming it).
Method make_method(const std::string& name, const Numbers& parameters);
const MethodKind& method_kind(const Method&);
std::string method_name(const Method&);
Numbers method_parameters(const Method&);
// The state a checkpoint carries (work, heat, the chain's variables).
std::vector<double> method_state(const Method&);
// Puts back a state of method_state; std::invalid_argument when it does not fit
// or holds a number that is not finite.
void restore_method_state(Method&, const std::vector<double>&);

// The barostat from its parameters (barostat_kind: pressure, tau,
// compressibility, couple).
CRescale make_barostat(const Numbers& parameters);
Numbers barostat_parameters(const CRescale&);
// Puts back the barostat's work and start volume (0: not begun); std::invalid_argument
// when the work is not finite or the volume not finite and non-negative.
void restore_barostat_state(CRescale&, double work, double start_volume);

// The method and barostat as a checkpoint holds them: everything to continue
// the steps bit for bit. The one owner of that layout; the binding and the
// file formats only move these numbers.
struct DynamicsRecord {
    std::string method;                // its registered name
    Numbers method_parameters;         // by name
    std::vector<double> method_state;  // method_state's numbers
    bool has_barostat = false;
    Numbers barostat_parameters;       // by name (couple as the index of its choice)
    double barostat_work = 0.0;        // the energy its moves put in
    double barostat_start_volume = 0.0;  // the volume when it began (0: not begun)
};
