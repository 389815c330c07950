// The simulation box: N Lennard-Jones particles in an orthorhombic periodic cell,
// of one species (the parameter set's sigma, epsilon, mass) or a mixture
// (mixture.h: a type per particle, a mass per type, parameters per type pair).
//
// Per-particle state lives in contiguous arrays of vec3 (x0 y0 z0 x1 y1 z1 ...),
// indexed by particle number. Pair forces are summed over a full Verlet neighbour
// list (each pair appears in both particles' runs), built with a grid of subcells
// whose edges are at least rcut + shell. Every setting is read from the run's
// Parameters at the moment an operation needs it.
//
// Sources, one concern each: cell.cpp (state, initial configuration, accessors),
// neighbor_list.cpp, forces.cpp, integrate.cpp (time step, wrap, thermostat),
// movie.cpp (binary trajectory frames). The integration methods of methods/
// compose their steps from the stages declared below.
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
#include "fields/field.h"
#include "list_buffers.h"
#include "particle_sums.h"
#include "parameters.h"
#include "mixture.h"
#include "pair_potential.h"
#include "team.h"
#include "threads.h"

using vec3 = Eigen::Vector3d;

// The image counters stay within +-image_limit: a crossing that would take one
// beyond it is refused by the wrap, so that the 32-bit counters never overflow,
// and a checkpoint holding one beyond it is refused.
constexpr std::int32_t image_limit = 2147483646;  // 2^31 - 2

// Per-particle vectors as 3N doubles (x0 y0 z0 x1 ...): the layout every copy
// handed out of the engine has (the accessors below, the bindings' arrays).
std::vector<double> flatten(const std::vector<vec3>& v);

namespace kernels {
struct PairInput;
struct PairKernels;
}

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

    // ---- the stages of a time step, for the integration methods (methods/) ----
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

    // ---- edits between steps (edit.cpp) ----
    // Replaces what `edit` holds (positions, velocities, box; the others kept), with
    // the checks of a start, rebuilds the list and evaluates the forces; see edit.cpp.
    void edit(const CellEdit& edit);

    const Parameters& parameters() const { return *params; }
    MotionArrays motion()
    {
        return {positions.data(), velocities.data(), dij_list.data(), forces.data(), positions.size(), ids.data()};
    }
    // A new box (the barostat's); positions, velocities and dij_list are the caller's.
    void set_box(const vec3& box) { dims = box; }
    // The largest pair cut-off: rcut, or the largest of a mixture's pair tables.
    // The list reaches it plus shell, and it must not exceed half the shortest
    // box edge (the minimum image); every test of the box against a cut-off reads it.
    double cutoff() const;
    // 0.5 m sum |v|^2 of the current velocities, summed in particle order (the
    // order of the kicks' sum).
    double kinetic_energy_of_velocities() const;
    // ekin after a method changed the velocities in a pass of its own.
    void set_ekin(double value) { ekin = value; }

    // Appends one frame (box, then x v |v| per particle) to a binary movie file;
    // with `create` the file is truncated and starts with the particle count.
    void write_to_movie_file(const std::string& moviefile, bool create);

    const vec3& get_dims() const { return dims; }
    // N: the particles of the whole box, also when it is divided among processes.
    std::size_t particles() const { return exchange ? exchange->total() : positions.size(); }

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
    std::size_t owned() const { return positions.size(); }
    const std::vector<vec3>& get_ghost_positions() const { return ghost_positions; }
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
    // Everything handed out, given in or saved is in the order of the global ids
    // (the particles' numbers), whatever their order in memory; a divided cell
    // hands out what it holds, in its own order (get_ids).
    std::vector<double> get_positions() const { return flatten(by_id(positions)); }
    std::vector<double> get_velocities() const { return flatten(by_id(velocities)); }
    std::vector<double> get_initial_positions() const { return flatten(positions_initial); }
    std::vector<double> get_initial_velocities() const { return flatten(velocities_initial); }
    std::vector<double> get_forces() const { return flatten(by_id(forces)); }
    // 3N box crossings counted by the wrap since the start, per particle and axis:
    // the unwrapped position is positions + images * L.
    std::vector<std::int32_t> get_images() const { return by_id(images); }
    // The type of each particle (empty for one species).
    std::vector<std::int32_t> get_types() const { return by_id(species.types); }

    // Slot s of the arrays in memory (motion(), the mixture's types) holds the
    // particle of global id ids[s]: the identity, unless the particles are kept
    // in subcell order (CellOptions::sort_particles); a divided cell holds its
    // own particles in ascending id.
    const std::vector<std::uint32_t>& get_ids() const { return ids; }
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
    const PairPotential& pair_potential() const { return potential; }

    // The external fields, and whether a wall closes axis k (no images across it:
    // the list, the minimum image and the wrap leave that axis alone).
    const std::vector<Field>& get_fields() const { return fields; }
    bool walled(int k) const { return walls[k]; }
    bool has_walls() const { return walls[0] || walls[1] || walls[2]; }

    // The per-particle terms of the current forces, evaluated when asked for
    // (by the same pair loop; forces, energy and virial keep their bits):
    // particle_energies N values (half of each pair's energy, plus the tail's
    // share), particle_virials 6N (xx yy zz xy xz yz of half of each pair's
    // r_ij (x) F_ij), virial_tensor the sum over pairs (with the tail on the
    // diagonal), summed in a thread-count independent order; its trace is the
    // virial W to rounding. With set_pair_terms(true) every force evaluation
    // gives them at once.
    void set_pair_terms(bool on) { pair_terms_wanted = on; }
    bool pair_terms() const { return pair_terms_wanted; }
    std::vector<double> particle_energies() { evaluate_pair_terms(); return by_id(particle_energies_); }
    std::vector<double> particle_virials() { evaluate_pair_terms(); return by_id(particle_virials_); }
    const double* virial_tensor() { evaluate_pair_terms(); return virial_tensor_; }

    // The mixture (empty for one species) and the type of each slot.
    const Species& get_species() const { return species; }
    bool mixed() const { return !species.empty(); }

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

    void initialize(const CellOptions& options);
    void draw_mixed_velocities(std::size_t nr_particles);
    void restore_box(const CellState& state);
    void check_cutoff_in_box() const;
    void check_mixture_tables_agree() const;
    // edit.cpp: refuses a listed pair closer than `limit` of its sigma; puts back a saved state.
    void check_contacts(double limit) const;
    std::vector<double> contact_sizes_sq() const;
    void restore(const CellState& state);
    double get_gauss() const;
    void build_neighbor_list();
    bool check_update_neighbor_list() const;
    void calculate_forces();
    // The parallel pair loop (forces.cpp).
    struct PairSums {
        double epot;       // the energy terms of all listed pairs (each pair twice), chained as the loop adds them
                           //   (exact sums: each particle's chain, the totals summed exactly, as the others)
        double virial;     // the per-particle virials, chained block by block
        double tensor[6];  // the per-particle tensor terms, chained block by block (when asked for)
    };
    template <typename Evaluate>
    PairSums pair_loop(kernels::PairInput& in, double rcut, bool extras, Evaluate evaluate);
    void set_potential(const PairPotential& given);
    // fields/apply.cpp: checks and keeps the fields; their forces and energies.
    void set_fields(const std::vector<Field>& given);
    double apply_fields(bool extras);
    void check_inside_walls() const;
    void check_given_within_walls(const std::vector<vec3>& given, const vec3& box) const;
    vec3 image_box() const;
    void finish_pair_terms(const PairSums& sums, double fscale);
    void evaluate_pair_terms();
    std::vector<double> type_counts() const;
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
        if (!permuted || v.empty())
            return v;
        const std::size_t w = v.size() / ids.size();
        std::vector<T> out(v.size());
        for (std::size_t s = 0; s < ids.size(); ++s)
            std::copy_n(v.begin() + w * s, w, out.begin() + w * ids[s]);
        return out;
    }
    // Particles into (subcell, id) order before a list build (sort.cpp); `to[s]`
    // the slot the particle in slot s moves to.
    void number_in_order(std::size_t n);  // ids the identity
    // The particles moved into the order of the list build's counting sort.
    void adopt_subcell_order();
    void unsort_state(CellState& s) const;  // a saved state of this cell into the order of the ids
    // The global sums: exact or chained in particle order (sums.cpp).
    template <typename Term>
    double sum_over_particles(std::size_t count, Term term) const;
    // The array as 3N contiguous doubles (null when empty).
    static double* coordinates(std::vector<vec3>& v) { return v.empty() ? nullptr : v.front().data(); }

    vec3 dims;                               // box edge lengths (Lx, Ly, Lz): cell_length or the box given, or as a barostat left them
    vec3 list_dims;                          // box edge lengths at the latest list build
    std::vector<vec3> positions;             // current positions
    std::vector<vec3> positions_initial;     // lattice positions, as built
    std::vector<vec3> velocities;            // current velocities
    std::vector<vec3> velocities_initial;    // velocities as drawn, mean not yet removed
    std::vector<vec3> forces;                // force on each particle, from calculate_forces
    std::vector<std::int32_t> images;        // 3N box crossings counted by apply_boundary_conditions
    std::shared_ptr<Parameters> params;      // the run's parameter set, shared with the driver
    std::vector<unsigned int> neighbor_list; // N start offsets, then per particle: neighbours, own index
    std::vector<vec3> dij_list;              // displacement of each particle since the last list build
    aligned_vector<double> padded_positions; // x y z 0 per particle, the pair loop's copy of positions
    std::vector<double> extent;              // per thread: lowest and highest coordinate per axis (forces.cpp)
    ListBuffers list_buffers;                // list-build scratch, kept between builds (neighbor_list.cpp)
    std::vector<double> ekin_terms;          // |v|^2 (mixture: m |v|^2) per particle, for the ordered kinetic-energy sum on several threads
    std::vector<double> virial_terms;        // per particle: its pairs' r_ij . F_ij (one species: / 24 eps), summed as pair_kernel.cpp says
    std::vector<double> block_virials;       // per block of the pair loop: its virial_terms summed in order
    Species species;                         // the mixture as given; empty for one species
    PairPotential potential;                 // the pair potential as given (empty: LJ of the parameter set)
    std::vector<Field> fields;               // external fields, applied after the pair loop in their order
    bool walls[3] = {false, false, false};   // axes closed by a wall
    std::vector<double> field_energies;      // per particle: its energy in all fields
    unsigned long long steps_done = 0;       // steps completed, for naming the step a particle leaves the box in
    PairTable table;                         // its tables as the pair loop reads them (one species: rebuilt per evaluation)
    const kernels::PairKernels* loops = nullptr;  // the pair loops of its family and mode
    bool pair_terms_wanted = false;          // every force evaluation gives the per-particle terms
    bool pair_terms_fresh = false;           // the per-particle terms belong to the current forces
    std::vector<double> energy_terms;        // per particle: its pairs' energy terms, as the loop summed them
    std::vector<double> own_energy_terms;    // per particle: its pairs' energy terms chained in list order (exact sums)
    std::vector<double> tensor_terms;        // per particle: six sums of r_a F_b terms, as the loop summed them
    std::vector<double> block_tensors;       // per block of the pair loop: six sums of tensor_terms in order
    std::vector<double> particle_energies_;  // per particle: half its pairs' energies
    std::vector<double> particle_virials_;   // per particle: xx yy zz xy xz yz of half its pairs' r (x) F
    double virial_tensor_[6] = {};           // the virial tensor of the latest evaluation with the terms
    std::vector<double> kick_factors;        // dt / 2m per type, for the mixture's half-step kick
    double epot = 0.0;                       // potential energy of the current configuration
    double ekin = 0.0;                       // kinetic energy after the latest kick, or as a method set it
    double etot = 0.0;                       // ekin + epot at the end of the latest step
    std::vector<std::uint32_t> ids;          // global id of the particle in each slot
    bool permuted = false;                   // ids is not the identity
    bool exact_sums = false;                 // the global sums exact (CellOptions::exact_sums)
    bool sort_particles = false;             // particles into subcell order at list builds
    std::vector<std::uint32_t> sort_scratch; // slot moves of a sort, and the arrays' old order
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
    std::vector<vec3> ghost_positions;       // coordinates of the ghosts (exchange.h), ascending id
    std::vector<std::int32_t> ghost_types;   // their types (a mixture)
    std::vector<vec3> binned;                // held particles then ghosts, as a list build bins them
    std::vector<std::int32_t> binned_types;
    bool whole_box_here = false;             // every process still holds the whole box (before the first build)
    // At a list build of a divided box: the held particles to their owners, the ghosts fetched.
    void share_out(const SubcellLayout& grid, bool replicated);
    // The whole box shared out with its list as it is (distribute with keep_list).
    void adopt_list();
};
