// The stages of a time step, as the integration methods (methods/) compose them:
// the kicks, the drift, the force update (forces, wrap, list), the velocity
// scalings of the thermostats, the kinetic energy, the start and end of a step,
// and the per-particle arrays a method's own passes move. Besides them, what the
// thermostats and the barostat measure and change: the box, the virial and its
// tensor, the walls, the largest cut-off.
//
// A handle on a Cell (cheap to copy), so that a method reaches these and nothing
// else of it; the stages themselves are the Cell's (integrate.cpp), which
// composes its own Berendsen step of the same ones.
#pragma once

#include <array>
#include <cstddef>

#include "cell.h"

class StepStages {
public:
    explicit StepStages(Cell& c) : cell(&c) {}

    using Start = Cell::StepStart;
    // Wall and CPU time at the start of a step, for the team governor.
    Start begin_step() const { return cell->begin_step(); }
    // v += F dt / 2m (half a step); ekin becomes that of the new velocities.
    void kick(double dt) { cell->update_velocities_half_dt(dt); }
    // x += v dt and dij += v dt (the list's displacement record).
    void drift(double dt) { cell->update_positions(dt); }
    // Forces and epot at the moved positions, over the current list; then the wrap
    // into the box and a list rebuild when some particle moved too far.
    void update_forces() { cell->update_forces(); }
    // v *= lambda with the Berendsen factor towards (3N - 3)/2 kT for relaxation
    // time tau, from the ekin of the latest kick (left as it is); returns lambda.
    double berendsen(double dt, double tau) { return cell->apply_berendsen_thermostat(dt, tau); }
    // v *= lambda for every particle; ekin follows (times lambda^2).
    void scale_velocities(double lambda) { cell->scale_velocities(lambda); }
    // etot = ekin + epot, refused when not finite; the step's time to the governor;
    // the progress line at multiples of 1000 when verbose (Cell::end_step).
    void end_step(unsigned int step, bool verbose, const Start& start) { cell->end_step(step, verbose, start); }

    // ekin after the latest kick, or as a method set it after a pass of its own.
    double ekin() const { return cell->get_ekin(); }
    void set_ekin(double value) { cell->ekin = value; }
    // 0.5 m sum |v|^2 of the current velocities, in the order of the kicks' sum.
    double kinetic_energy_of_velocities() const { return cell->kinetic_energy_of_velocities(); }

    // The arrays of the held particles, and N of the whole box.
    MotionArrays motion() { return cell->motion(); }
    std::size_t particles() const { return cell->particles(); }
    // particle_sums (particle_sums.h) over the held particles with the cell's team
    // and kind of sum, totalled over all processes.
    template <int K, typename Chunk>
    std::array<double, K> sum_particles(std::size_t n, Chunk&& chunk) const
    {
        return cell->sum_particles<K>(n, static_cast<Chunk&&>(chunk));
    }

    const Parameters& parameters() const { return cell->parameters(); }
    const Species& species() const { return cell->get_species(); }
    bool mixed() const { return cell->mixed(); }

    // The box; a new one (the barostat's) leaves positions, velocities and
    // displacements to the caller.
    const vec3& box() const { return cell->get_dims(); }
    void set_box(const vec3& box) { cell->dims = box; }
    double cutoff() const { return cell->cutoff(); }
    bool walled(int k) const { return cell->walled(k); }
    bool has_walls() const { return cell->has_walls(); }
    // The virial W of the latest forces, and the tensor (evaluated when not fresh;
    // with pair terms on, every evaluation gives it).
    double virial() const { return cell->virial(); }
    const double* virial_tensor() { return cell->virial_tensor(); }
    void set_pair_terms(bool on) { cell->set_pair_terms(on); }

private:
    Cell* cell;
};
