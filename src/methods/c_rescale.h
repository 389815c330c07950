// Stochastic cell rescaling (Bernetti & Bussi, J. Chem. Phys. 153, 114107
// (2020)), isotropic by default: the box and the positions are scaled by one factor each step,
// the velocities by its inverse, so that the volume follows
//
//   d eps = -(beta_T / tau_p)(P0 - P) dt + sqrt(2 kT beta_T dt / (V tau_p)) xi,   eps = ln V,
//
// P = (2K + W) / 3V the instantaneous pressure (W the virial), beta_T the
// compressibility (it sets the strength of the coupling: the volume relaxes in
// about tau_p beta / beta_T, beta the true compressibility), xi standard normal,
// drawn from (seed, step). In eps the Ito drift of the volume-dependent noise
// and the Jacobian of ln V cancel; with the total momentum conserved (3N - 3
// kinetic degrees of freedom) the stationary distribution of the volume is the
// isothermal-isobaric one, V e^{-(U + P0 V)/kT}, when a thermostat keeps the
// temperature at kT.
//
// In a step the move comes right after the drift: eps from P at the start of the
// step (K and W measured at the end of the previous one, or before the first), then x *= mu, L *= mu,
// v /= mu with mu = exp(d eps / 3), and the forces at the scaled positions. The
// list's displacements are scaled with the positions, and the list's validity is
// judged against the box of its build (NeighborList::stale).
//
// Everything the move depends on is known when the step begins, so the move is
// drawn and checked then (plan), before the step touches anything, and applied
// after the drift (rescale). Refused, naming the step and the box: a move whose
// box is not finite, or whose volume exceeds expansion_limit times the volume
// when the barostat began (a target pressure below what the system can sustain,
// e.g. a negative one beyond a liquid's cavitation, expands it without end),
// and one whose half edge falls below the largest pair cut-off (the minimum
// image would miss pairs). A negative target pressure is allowed: a stretched
// liquid holds one.
//
// The energy the move puts in, dK + dU + P0 dV, is accumulated, so that
// etot + P0 V - work is conserved: dK and dV exactly, dU = -int W(mu)/mu dmu by
// the trapezoid between the virials before and after the move (the latter
// measured at the end of the step, where it is the next step's pressure).
//
// Anisotropic coupling scales the axes in groups, each group g of d_g axes from
// its own pressure P_g, the mean of the diagonal P_aa = (2 K_a + W_aa) / V over
// its axes (K_a the kinetic energy along a, W_aa the virial tensor's diagonal):
//
//   d eps_a = -(beta_T / 3 tau_p)(P0 - P_g) dt + sqrt(2 d_g kT beta_T dt / (3 V tau_p)) xi_g / d_g,
//
// eps_a = ln L_a for each axis a of g, one normal xi_g per group. couple "xyz"
// is the isotropic step above (one group of three: the two agree); "xy" scales
// x and y together and z alone (membranes, interfaces normal to z); "none"
// each axis alone. With walls on z only, "xy" keeps Lz fixed (the walls stay
// where they are) and scales the periodic x and y. The work of a move is summed
// per axis: dK_a, -int W_aa(mu_a)/mu_a dmu_a by the trapezoid, and P0 dV.
#pragma once

#include <optional>
#include <vector>

#include "method_kind.h"
#include "step_context.h"

class CRescale {
public:
    // pressure P0 (finite), tau_p (positive), compressibility beta_T (positive;
    // none: that of an ideal gas at the box's density and kT, fixed when the
    // barostat is attached, see resolve).
    // Which axes are scaled together: all three, x with y (z alone), or each alone.
    enum class Couple { xyz, xy, none };

    CRescale(double pressure, double tau, std::optional<double> compressibility = std::nullopt,
             Couple couple = Couple::xyz);

    // The registry's entry (couple as the index of "xyz", "xy", "none") and the
    // barostat from completed parameters; its parameters by name.
    static const MethodKind& kind();
    static CRescale make(const Numbers& p);
    Numbers parameters() const;

    // Fixes a compressibility left open: V / (N kT); refuses walls it would move
    // (all but walls on z with couple xy). An anisotropic coupling asks the cell
    // for the virial tensor of every force evaluation.
    void resolve(StepStages& stages, double kT);
    // K and W of the cell as it is (at the end of a step: the start of the next);
    // completes the work of the step's move.
    void measure(StepStages& stages);
    bool measured() const { return have_measure; }
    // (2K + W) / 3V as measured, V the volume of `box`.
    double measured_pressure(const vec3& box) const;
    // Draws the move of the step about to begin and checks its box (the cell is
    // as the step finds it); std::range_error naming the step and the box when it
    // cannot be made, std::invalid_argument when tau is shorter than the time step.
    void plan(const StepStages& stages, const StepContext& ctx);
    // Applies the planned move, after the drift.
    void rescale(StepStages& stages, const StepContext& ctx);
    // The conserved quantity beyond etot: P0 V minus the work of the moves (V of `box`).
    double extra_energy(const vec3& box) const;

    double pressure;                        // P0
    double tau;                             // tau_p
    std::optional<double> compressibility;  // beta_T
    Couple couple = Couple::xyz;            // the groups of axes scaled together
    double work = 0.0;                      // energy the moves put in so far (dK + dU + P0 dV)
    double start_volume = 0.0;              // volume when the barostat began (0: at its next step)

    static constexpr double expansion_limit = 1e6;  // the box may grow to this many times start_volume

private:
    double ekin_start = 0.0;    // K at the start of the step
    double virial_start = 0.0;  // W at the start of the step
    bool have_measure = false;  // ekin_start and virial_start belong to the cell as it is
    double pending_mu = 1.0;    // the move of this step, whose dU waits for the virial after it
    double planned_mu = 1.0;    // the move drawn by plan, applied by rescale

    // the same per axis, for an anisotropic coupling
    vec3 ekin_axes = vec3::Zero();      // K_a at the start of the step
    vec3 virial_axes = vec3::Zero();    // W_aa at the start of the step
    vec3 pending_mus = vec3::Ones();    // the move of this step, per axis
    vec3 planned_mus = vec3::Ones();    // the move drawn by plan

    // The groups of axes scaled together (a walled axis in none).
    std::vector<std::vector<int>> groups(const StepStages& stages) const;
    void measure_axes(StepStages& stages);
    vec3 plan_axes(const StepStages& stages, const StepContext& ctx, double v);
    void rescale_axes(StepStages& stages, const StepContext& ctx);
};
