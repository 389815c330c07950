// Energy minimisation by FIRE, the fast inertial relaxation engine (Bitzek,
// Koskinen, Gaehler, Moseler and Gumbsch, Phys. Rev. Lett. 97, 170201 (2006)) in
// the form FIRE 2.0 of Guenole, Noehring, Vaid, Houlle, Xie, Prakash and Bitzek,
// Comput. Mater. Sci. 175, 109584 (2020): the particles move as damped Newtonian
// bodies whose velocity is turned towards the force, the step grows while the
// power P = F . v stays positive and is cut, with the velocity zeroed and half a
// step taken back, as soon as the motion goes uphill.
//
// Per iteration (the paper's algorithm 2, semi-implicit Euler):
//   1. P = F . v over all 3N components
//   2. P > 0: after `delay` such iterations in a row dt = min(f_inc dt, dt_max), alpha *= f_alpha
//      P <= 0: unless within the first `delay` iterations, dt = f_dec dt (not below dt_min) and
//              alpha = alpha_start; x -= dt_last v / 2; v = 0; give up after `max_uphill` in a row
//   3. v += dt F / m
//   4. v = (1 - alpha) v + alpha |v| F / |F|          (|.| the norms of the 3N vectors)
//   5. x += h v with h = min(dt, max_move / max_i |v_i|): no particle moves more than max_move
//   6. F at the new positions (wrap, list rebuilt when stale, forces)
//   7. converged when max_i |F_i| <= fmax
// The sums of 1 and 4 and the largest force of 5 and 7 run over the particles in
// index order on one thread, and the forces per particle do not depend on the
// team: the path, the positions and the number of iterations are the same at any
// thread count (the energy, a sum the force loop chains per block, may differ in
// its last bits). The masses are the particles' own; the box is held fixed.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "cell.h"

struct FireSettings {
    double fmax = 1e-8;             // converged when no particle feels a force larger than this
    unsigned int max_steps = 10000; // iterations at most
    double dt_start = 0.005;        // first step
    double dt_max = 0.05;           // largest step (10 dt_start by default)
    double dt_min = 1e-4;           // smallest step (0.02 dt_start by default)
    double max_move = 0.1;          // largest move of one particle in one iteration (length units)
    unsigned int delay = 20;        // downhill iterations before dt may grow; no cut in the first ones
    unsigned int max_uphill = 2000; // uphill iterations in a row before giving up
    double f_inc = 1.1;             // growth of dt
    double f_dec = 0.5;             // cut of dt
    double alpha_start = 0.25;      // mixing of the force direction into v after a cut
    double f_alpha = 0.99;          // decay of the mixing
};

// Throws std::invalid_argument naming the setting that breaks its range.
void check_fire_settings(const FireSettings& s);
// The settings given by name over the defaults (fmax, max_steps, dt_start,
// dt_max, dt_min, max_move, delay, max_uphill, f_inc, f_dec, alpha_start,
// f_alpha); std::invalid_argument for an unknown name or a count that is not a
// whole number >= 0. Their ranges are check_fire_settings'.
FireSettings fire_settings(const std::map<std::string, double>& given);

struct FireResult {
    double epot = 0.0;          // potential energy at the end
    double fmax = 0.0;          // largest force on a particle at the end
    unsigned int steps = 0;     // iterations done
    bool converged = false;     // fmax reached the target
    std::string reason;         // why it stopped: "converged", "max_steps", "uphill"
};

class Fire {
public:
    explicit Fire(const FireSettings& s);
    // Moves the cell's positions to a nearby minimum of the potential energy; its
    // velocities are left as they are (the minimiser has its own). Forces must be
    // valid on entry; on return forces, list and energies belong to the new
    // positions. std::range_error when a force stops being finite.
    FireResult minimize(Cell& cell);

private:
    void move_and_evaluate(Cell& cell, double h);  // x += h v, then step 6
    double largest_force(const Cell& cell) const;

    FireSettings settings;          // the schedule
    std::vector<vec3> velocity;     // the minimiser's velocities, one per particle
    std::vector<double> inv_mass;   // 1/m per particle
};
