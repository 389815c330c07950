// The simulation box: N Lennard-Jones particles in an orthorhombic periodic cell,
// of one species (the parameter set's sigma, epsilon, mass) or a mixture
// (mixture.h: a type per particle, a mass per type, parameters per type pair).
//
// A Cell is the composition of one part per concern, each in its own header:
//   ParticleState  particle_state.h   positions, velocities, forces, images, ids,
//                                     types, the ghosts of a divided box
//   NeighborList   neighbor_list.h    the full Verlet list (grid of subcells whose
//                                     edges are at least rcut + shell), its box,
//                                     the rebuild test, the build's scratch
//   ForceTerms     force_terms.h      pair potential, tables and loops, fields and
//                                     walls, per-particle terms; compute() over the
//                                     particles and the list
//   StepStages     step_stages.h      the stages of a step as the integration
//                                     methods (methods/) reach them
// and holds what ties them together: the box, the parameter set (every setting
// read at the moment an operation needs it), the energies, the order of the sums
// (exact or chained, sorted or not), the team of threads and the exchange with
// the other processes of a divided box.
//
// Sources: cell.cpp (construction, start configuration, accessors), integrate.cpp
// (the stages: kicks, drift, wrap, thermostat, step ends), forces.cpp and
// fields/apply.cpp (ForceTerms), neighbor_list.cpp (NeighborList), sort.cpp
// (memory order), edit.cpp, checkpoint.cpp, distribute.cpp, movie.cpp.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <Eigen/Core>
#include <omp.h>

#include "aligned.h"
#include "exact_sum.h"
#include "exchange.h"
#include "force_terms.h"
#include "fields/field.h"
#include "particle_sums.h"
#include "parameters.h"
#include "mixture.h"
#include "neighbor_list.h"
#include "pair_potential.h"
#include "particle_state.h"
#include "team.h"
#include "threads.h"

// The image counters stay within +-image_limit: a crossing that would take one
// beyond it is refused by the wrap, so that the 32-bit counters never overflow,
// and a checkpoint holding one beyond it is refused.
constexpr std::int32_t image_limit = 2147483646;  // 2^31 - 2

// Per-particle vectors as 3N doubles (x0 y0 z0 x1 ...): the layout every copy
// handed out of the engine has (the accessors below, the bindings' arrays).
std::vector<double> flatten(const std::vector<vec3>& v);

// How a Cell starts, beyond its parameter set.
struct CellOptions {
    int threads = 0;                 // team size of the parallel loops (checked_team_size); 0: runtime default
    bool seeded = false;             // true: draw the velocities from a generator of this cell's own,
    std::uint64_t seed = 0;          //   std::default_random_engine seeded with `seed`, with its own std::normal_distribution<double>(0, 1)
    std::vector<vec3> positions;     // empty: the lattice; else N start positions, wrapped into the box
    std::vector<vec3> velocities;    // empty: drawn as usual; else N start velocities, used as given
    vec3 box = vec3::Zero();         // box edges (Lx, Ly, Lz); zero: a cube of side cell_length
    Species species;                 // empty: one species from the parameter set; else a mixture
    PairPotential potential;         // empty: Lennard-Jones of the parameter set or the mixture's tables
    bool pair_terms = false;         // every force evaluation also gives the per-particle terms and the tensor
    std::vector<Field> fields;       // external fields (fields/field.h); a wall makes its axis non-periodic
    bool exact_sums = false;         // the global sums exact (ExactSum of per-particle terms): the same bits
                                     //   on any thread count and in any order of the particles in memory
    bool sort_particles = false;     // with exact_sums: particles kept in memory in subcell order (list builds)
    bool divided = false;            // divided among processes next (distribute): no list or forces of the
                                     //   whole box before, only those of each process's share
};

// The state a Cell's next steps depend on, for checkpoints (checkpoint.cpp): a
// cell restored from it continues bit for bit.
struct CellState {
    std::vector<vec3> positions;              // wrapped positions
    std::vector<vec3> velocities;             // current velocities
    std::vector<vec3> forces;                 // forces at the positions (valid on entry to a step)
    std::vector<vec3> dij_list;               // displacements since the last list build
    std::vector<unsigned int> neighbor_list;  // the list as built; its order fixes the order of the sums
    std::vector<std::int32_t> images;         // 3N box crossings counted by the wrap
    std::vector<vec3> positions_initial;      // start positions
    std::vector<vec3> velocities_initial;     // start velocities, as drawn or given
    double epot = 0.0;                        // energies at the end of the latest step
    double ekin = 0.0;
    double etot = 0.0;
    double virial = 0.0;                      // virial W of the latest forces
    vec3 box = vec3::Zero();                  // box edges now; zero: cell_length (a box never rescaled)
    vec3 list_box = vec3::Zero();             // box edges at the list build; zero: as `box`
    Species species;                          // the mixture; empty for one species
    PairPotential potential;                  // the pair potential; empty: Lennard-Jones of the settings or mixture
    std::vector<Field> fields;                // the external fields
};

// A change of a cell between steps (Cell::edit): what is given replaces the
// cell's own, the rest is kept.
struct CellEdit {
    const std::vector<vec3>* positions = nullptr;   // N positions, wrapped into the (new) box; the image counters go on
    const std::vector<vec3>* velocities = nullptr;  // N velocities, used as given
    const vec3* box = nullptr;                      // box edges (Lx, Ly, Lz); positions not given are kept as they are
    double min_distance = 0.0;                      // refuse a pair closer than this many of its sigma (0: no check)
};

// The per-particle arrays a method's own passes read and write (methods/).
struct MotionArrays {
    vec3* positions;       // moved by drifts, scaled by the barostat
    vec3* velocities;
    vec3* dij_list;        // displacements since the list build: every move of a position goes here too
    const vec3* forces;    // forces at the positions (valid on entry to a step)
    std::size_t count;     // N
    const std::uint32_t* ids;  // global id of each slot: what keys a particle's random numbers
};

class Cell {
public:
    // The lattice start with velocities from the process-wide generator.
    explicit Cell(const std::shared_ptr<Parameters>& _params);
    // Throws std::invalid_argument when given positions or velocities are not N
    // finite vectors, a position lies more than 10^6 box lengths out, the start's
    // kinetic or potential energy is not finite (see initialize), or the team size
    // is not allowed (checked_team_size, which may also throw std::runtime_error).
    Cell(const std::shared_ptr<Parameters>& _params, const CellOptions& options);

    // A cell restored from a saved state, team size `team_size` (0: runtime default);
    // throws std::invalid_argument when the settings break a rule, the arrays do
    // not fit nr_particles or are not finite, a position lies outside the box, or
    // the list is not a neighbour list (checkpoint.cpp).
    Cell(const std::shared_ptr<Parameters>& _params, const CellState& state, int team_size);
    // The state that the next steps depend on (checkpoint.cpp).
    CellState save_state() const;

    // One velocity-Verlet step with Berendsen thermostat, wrap and list maintenance.
    void integrate(unsigned int step, double dt, bool verbose);

    // ---- edits between steps (edit.cpp) ----
    // Replaces what `edit` holds (positions, velocities, box; the others kept), with
    // the checks of a start, rebuilds the list and evaluates the forces; see edit.cpp.
    void edit(const CellEdit& edit);

    const Parameters& parameters() const { return *params; }
    // The largest pair cut-off: rcut, or the largest of a mixture's pair tables.
    // The list reaches it plus shell, and it must not exceed half the shortest
    // box edge (the minimum image); every test of the box against a cut-off reads it.
    double cutoff() const { return terms.cutoff(*params); }
    // 0.5 m sum |v|^2 of the current velocities, summed in particle order (the
    // order of the kicks' sum).
    double kinetic_energy_of_velocities() const;
    // sum m v_a v_b of the current velocities (xx yy zz xy xz yz), summed as the
    // cell's global sums are (exact, or chained in fixed chunks) over all
    // processes; one species takes its mass after the sum.
    std::array<double, 6> kinetic_tensor() const;

    // Appends one frame (box, then x v |v| per particle) to a binary movie file;
    // with `create` the file is truncated and starts with the particle count.
    void write_to_movie_file(const std::string& moviefile, bool create);

    const vec3& get_dims() const { return dims; }
    // N: the particles of the whole box, also when it is divided among processes.
    std::size_t particles() const { return exchange ? exchange->total() : pstate.size(); }

    // ---- a box divided among processes (exchange.h) ----
    // From now on this cell holds only the particles of its process's domain
    // (every process starts from the whole box, the same on all), its sums are
    // exact and its particles stay in the order of their ids; the list is built
    // anew and the forces evaluated. Every later step is collective. With
    // `keep_list` (a restored cell) the list, forces and displacements stay as
    // saved, so that the steps go on as those of the saved run.
    void distribute(std::shared_ptr<Exchange> e, bool keep_list = false);
    bool distributed() const { return exchange != nullptr; }
    // The particles this cell holds and integrates (all N of an undivided box),
    // and the ghosts' coordinates.
    std::size_t owned() const { return pstate.size(); }
    const std::vector<vec3>& get_ghost_positions() const { return pstate.ghost_positions; }
    // Everything handed out, given in or saved is in the order of the global ids
    // (the particles' numbers), whatever their order in memory; a divided cell
    // hands out what it holds, in its own order (get_ids).
    std::vector<double> get_positions() const { return flatten(by_id(pstate.positions)); }
    std::vector<double> get_velocities() const { return flatten(by_id(pstate.velocities)); }
    std::vector<double> get_initial_positions() const { return flatten(pstate.positions_initial); }
    std::vector<double> get_initial_velocities() const { return flatten(pstate.velocities_initial); }
    std::vector<double> get_forces() const { return flatten(by_id(pstate.forces)); }
    // 3N box crossings counted by the wrap since the start, per particle and axis:
    // the unwrapped position is positions + images * L.
    std::vector<std::int32_t> get_images() const { return by_id(pstate.images); }
    // The type of each particle (empty for one species).
    std::vector<std::int32_t> get_types() const { return by_id(pstate.species.types); }

    // Slot s of the arrays in memory (motion(), the mixture's types) holds the
    // particle of global id ids[s]: the identity, unless the particles are kept
    // in subcell order (CellOptions::sort_particles); a divided cell holds its
    // own particles in ascending id.
    const std::vector<std::uint32_t>& get_ids() const { return pstate.ids; }
    bool sorted() const { return sort_particles; }
    // The global sums are exact, hence independent of the order of their terms.
    bool exact() const { return exact_sums; }
    // Sets both (a restored cell's, the binding's choice for a Simulation).
    void set_order(bool exact_sums, bool sort_particles);
    // Back to the order of the ids, the list relabelled (each run keeps its order).
    void unsort();
    double get_etot() const { return etot; }
    double get_ekin() const { return ekin; }
    double get_epot() const { return epot; }

    // Virial W = sum over distinct pairs within rcut of r_ij . F_ij of the latest
    // force evaluation, at the current positions (for the pressure (2 ekin + W) / 3V);
    // summed in an order that does not depend on the thread count (forces.cpp).
    double virial() const { return virial_w; }

    // The pair potential (empty: Lennard-Jones of the parameter set); its
    // largest cut-off is cutoff().
    const PairPotential& pair_potential() const { return terms.potential; }

    // The external fields, and whether a wall closes axis k (no images across it:
    // the list, the minimum image and the wrap leave that axis alone).
    const std::vector<Field>& get_fields() const { return terms.fields; }
    bool walled(int k) const { return terms.walled(k); }
    bool has_walls() const { return terms.has_walls(); }

    // The per-particle terms of the current forces, evaluated when asked for
    // (by the same pair loop; forces, energy and virial keep their bits):
    // particle_energies N values (half of each pair's energy, plus the tail's
    // share), particle_virials 6N (xx yy zz xy xz yz of half of each pair's
    // r_ij (x) F_ij), virial_tensor the sum over pairs (with the tail on the
    // diagonal), summed in a thread-count independent order; its trace is the
    // virial W to rounding. With set_pair_terms(true) every force evaluation
    // gives them at once.
    void set_pair_terms(bool on) { terms.pair_terms_wanted = on; }
    bool pair_terms() const { return terms.pair_terms_wanted; }
    std::vector<double> particle_energies()
    {
        evaluate_pair_terms();
        terms.settle_particle_terms();
        return by_id(terms.particle_energies);
    }
    std::vector<double> particle_virials()
    {
        evaluate_pair_terms();
        terms.settle_particle_terms();
        return by_id(terms.particle_virials);
    }
    const double* virial_tensor() { evaluate_pair_terms(); return terms.virial_tensor; }

    // The mixture (empty for one species) and the type of each slot.
    const Species& get_species() const { return pstate.species; }
    bool mixed() const { return pstate.mixed(); }

    // Team size of every parallel loop of this cell; 0 means the runtime's default
    // (at most max_team_size()). Other sizes are checked by checked_team_size
    // (threads.h). At most that many: while other processes keep the cores busy
    // the loops run on one thread, when that is faster (team.h).
    void set_threads(int n) { threads = checked_team_size(n); }
    int team_limit() const { return threads > 0 ? threads : std::min(omp_get_max_threads(), max_team_size()); }
    int team() const
    {
        if (team_limit() != governor.limit())
            governor.reset(team_limit());
        return governor.current();
    }

private:
    friend struct CellTestAccess;  // white-box access for the engine tests
    friend class Fire;             // the minimiser moves positions over the list (minimize.cpp)
    friend class StepStages;       // the stages of a step, for the integration methods

    // ---- the stages of a time step (integrate.cpp), which the integration methods
    // reach through StepStages (step_stages.h) ----
    // Wall and CPU time at the start of a step, for the team governor.
    struct StepStart {
        std::chrono::steady_clock::time_point wall;
        double cpu;
    };
    StepStart begin_step() const;
    // v += F dt / 2m (half a step); ekin becomes that of the new velocities.
    void update_velocities_half_dt(double dt);
    // x += v dt and dij += v dt (the list's displacement record).
    void update_positions(double dt);
    // Forces and epot at the moved positions, over the current list; then the wrap
    // into the box and a list rebuild when some particle moved too far.
    void update_forces();
    // v *= lambda with the Berendsen factor towards (3N - 3)/2 kT for relaxation
    // time tau, from the ekin of the latest kick (left as it is); returns lambda.
    double apply_berendsen_thermostat(double dt, double tau);
    // v *= lambda for every particle; ekin follows (times lambda^2).
    void scale_velocities(double lambda);
    // etot = ekin + epot, refused when not finite; the step's time goes to the
    // governor; the progress line at multiples of 1000 when verbose. Error
    // messages count steps as a run's counter does: the step numbered `step` is
    // its (step + 1)-th, the count of steps done once it is done.
    void end_step(unsigned int step, bool verbose, const StepStart& start);

    // The per-particle arrays a method's own passes read and write.
    MotionArrays motion()
    {
        return {pstate.positions.data(), pstate.velocities.data(), pstate.dij_list.data(), pstate.forces.data(),
                pstate.size(), pstate.ids.data()};
    }
    // Each of `count` exact sums replaced by its total over all processes (nothing for one).
    void reduce(ExactSum* sums, int count) const
    {
        if (exchange)
            exchange->sum(sums, count);
    }
    // particle_sums (particle_sums.h) over the held particles with this cell's
    // team and kind of sum, totalled over all processes.
    template <int K, typename Chunk>
    std::array<double, K> sum_particles(std::size_t n, Chunk&& chunk) const
    {
        return particle_sums<K>(n, team(), exact(), chunk, [this](ExactSum* s, int k) { reduce(s, k); });
    }


    void initialize(const CellOptions& options);
    void draw_mixed_velocities(std::size_t nr_particles);
    void restore_box(const CellState& state);
    void check_cutoff_in_box() const;
    void check_mixture_tables_agree() const;
    // edit.cpp: refuses a listed pair closer than `limit` of its sigma; puts back a saved state.
    void check_contacts(double limit) const;
    std::vector<double> contact_sizes_sq() const;
    void restore(const CellState& state);
    void take_arrays(const CellState& state);  // checkpoint.cpp
    double get_gauss() const;
    void build_neighbor_list();
    bool check_update_neighbor_list() const;
    void calculate_forces();
    // How this cell's force evaluations run and sum (force_terms.h).
    ForceContext force_context() const { return {params.get(), dims, team(), exact_sums, exchange.get(), particles()}; }
    void evaluate_pair_terms();
    void update_mixed_velocities_half_dt(double dt);
    // Runs kick(i) for every particle on the team and returns the sum of what it
    // returns, added in particle order (the kinetic-energy sum of the kicks).
    template <typename Kick>
    double kick_in_order(std::size_t count, Kick kick);
    void apply_boundary_conditions();
    void apply_berendsen_thermostat(double dt);
    void multiply_velocities(double lambda);

    // nr_particles as read now; throws if it no longer matches the arrays held.
    std::size_t particle_count() const;
    // A per-particle array (any number of entries per particle) in the order of the ids.
    template <typename T>
    std::vector<T> by_id(const std::vector<T>& v) const
    {
        return pstate.by_id(v);
    }
    void number_in_order(std::size_t n) { pstate.number_in_order(n); }  // ids the identity
    void unsort_state(CellState& s) const;  // a saved state of this cell into the order of the ids

    ParticleState pstate;                    // the particles: positions, velocities, forces, ids, types (particle_state.h)
    NeighborList nlist;                      // the Verlet list, its box and build scratch (neighbor_list.h)
    ForceTerms terms;                        // potential, fields, per-particle terms (force_terms.h)
    vec3 dims;                               // box edge lengths (Lx, Ly, Lz): cell_length or the box given, or as a barostat left them
    std::shared_ptr<Parameters> params;      // the run's parameter set, shared with the driver
    std::vector<double> ekin_terms;          // |v|^2 (mixture: m |v|^2) per particle, for the ordered kinetic-energy sum on several threads
    unsigned long long steps_done = 0;       // steps completed, for naming the step a particle leaves the box in
    std::vector<double> kick_factors;        // dt / 2m per type, for the mixture's half-step kick
    double epot = 0.0;                       // potential energy of the current configuration
    double ekin = 0.0;                       // kinetic energy after the latest kick, or as a method set it
    double etot = 0.0;                       // ekin + epot at the end of the latest step
    bool exact_sums = false;                 // the global sums exact (CellOptions::exact_sums)
    bool sort_particles = false;             // particles into subcell order at list builds
    double virial_w = 0.0;                   // virial W of the latest force evaluation
    std::chrono::system_clock::time_point ttime;  // start of the current progress-timing interval
    int threads = 0;                         // team size of the parallel loops; 0: the runtime's default
    mutable TeamGovernor governor;           // shrinks the team to one thread while the cores are busy

    // The generator of a seeded cell; null: the process-wide one of get_gauss.
    struct Generator {
        std::default_random_engine engine;
        std::normal_distribution<double> normal{0.0, 1.0};
        explicit Generator(std::uint64_t seed) : engine(seed) {}
    };
    mutable std::unique_ptr<Generator> generator;

    std::shared_ptr<Exchange> exchange;      // the other processes of a divided box; null: the whole box is here
};
