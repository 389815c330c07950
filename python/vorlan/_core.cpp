// The extension module vorlan._core: a simulation box that Python advances step
// by step (the engine of vorlan.Simulation, python/vorlan/simulation.py).
//
// An Engine owns one Cell and its Parameters, counts the steps done and keeps the
// energies after every step (the log). Steps go through the engine's shared run
// loop (run.h), numbered on from one call to the next, so that a run split into
// pieces, simulate and vorlan-run all perform the same sequence of operations.
//
// The interpreter lock is released while the engine steps. Every 20 ms of
// stepping, between two whole steps, the loop takes the lock back for a moment to
// let the interpreter run its signal handlers: a Ctrl-C stops the loop after the
// step in progress, with that step counted and logged.
//
// Native exceptions become Python exceptions by the same table as in vorlan.vorlan
// (translate.h), registered once as a nanobind exception translator.
//
// Sections: helpers, the Engine, settings checks, module definition.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/map.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/unique_ptr.h>
#include <nanobind/stl/unordered_map.h>
#include <nanobind/stl/vector.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "cell.h"
#include "methods/dynamics.h"
#include "parameters.h"
#include "run.h"
#include "settings.h"
#include "translate.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// ---------------------------------------------------------------- helpers

using Map = std::unordered_map<std::string, std::string>;

// Read-only (N, 3) and (M,) views of caller arrays, C order, on the CPU.
using In3 = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using InI3 = nb::ndarray<const std::int32_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using InU = nb::ndarray<const std::uint32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using In1 = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// A NumPy array that owns `values` (moved in), `rows` x `cols` or flat when cols is 0.
template <typename T>
nb::ndarray<nb::numpy, T> numpy_array(std::vector<T>&& values, std::size_t rows, std::size_t cols)
{
    auto* held = new std::vector<T>(std::move(values));
    nb::capsule owner(held, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    if (cols == 0)
        return nb::ndarray<nb::numpy, T>(held->data(), {rows}, owner);
    return nb::ndarray<nb::numpy, T>(held->data(), {rows, cols}, owner);
}

nb::ndarray<nb::numpy, double> rows3(std::vector<double>&& flat)
{
    const std::size_t n = flat.size() / 3;
    return numpy_array(std::move(flat), n, 3);
}

std::vector<double> flat(const std::vector<vec3>& v)
{
    std::vector<double> out(3 * v.size());
    for (std::size_t i = 0; i < v.size(); ++i)
        for (int k = 0; k < 3; ++k)
            out[3 * i + k] = v[i][k];
    return out;
}

// N rows of three doubles from a caller array; `what` names it in the message.
std::vector<vec3> vectors(const In3& a, std::size_t n, const char* what)
{
    if (a.shape(0) != n || a.shape(1) != 3) {
        std::ostringstream msg;
        msg << what << " has shape (" << a.shape(0) << ", " << a.shape(1) << "), expected (" << n << ", 3)";
        throw std::invalid_argument(msg.str());
    }
    std::vector<vec3> out(n);
    const double* p = a.data();
    for (std::size_t i = 0; i < n; ++i)
        out[i] = vec3(p[3 * i], p[3 * i + 1], p[3 * i + 2]);
    return out;
}

// ---------------------------------------------------------------- the Engine

class Engine {
public:
    // A new box from a parameter set: lattice or given start state, first list and forces.
    Engine(std::shared_ptr<Parameters> p, CellOptions options)
        : params(std::move(p))
    {
        nr_particles = read_particle_count(*params);
        if (!options.positions.empty() && options.positions.size() != nr_particles)
            throw std::invalid_argument(mismatch("positions", options.positions.size()));
        if (!options.velocities.empty() && options.velocities.size() != nr_particles)
            throw std::invalid_argument(mismatch("velocities", options.velocities.size()));
        cell = std::make_unique<Cell>(params, options);
        if (options.seeded)
            seed = options.seed;
        dynamics.configure(Berendsen(), std::nullopt, seed);
    }

    // A box restored from a checkpoint, `steps` steps into its run, with its log.
    Engine(std::shared_ptr<Parameters> p, const CellState& state, int threads, unsigned int steps,
           std::vector<double> ekin, std::vector<double> epot, std::vector<double> etot,
           std::optional<std::uint64_t> seed_)
        : params(std::move(p)), step(steps), log_ekin(std::move(ekin)), log_epot(std::move(epot)),
          log_etot(std::move(etot)), seed(seed_)
    {
        nr_particles = read_particle_count(*params);
        if (log_ekin.size() != steps || log_epot.size() != steps || log_etot.size() != steps)
            throw std::invalid_argument("the energy log must hold one entry per step done");
        cell = std::make_unique<Cell>(params, state, threads);
        dynamics.configure(Berendsen(), std::nullopt, seed);
    }

    // Advances `count` steps with the interpreter lock released; returns the steps done.
    // A pending signal handler's exception (KeyboardInterrupt) is raised after the
    // step in progress, everything up to it counted and logged.
    unsigned int advance(unsigned int count)
    {
        idle();
        if (count > std::numeric_limits<unsigned int>::max() - step) {
            std::ostringstream msg;
            msg << "steps = " << count << " is not allowed: the step counter (now " << step
                << ") cannot go beyond " << std::numeric_limits<unsigned int>::max();
            throw std::overflow_error(msg.str());
        }
        const double dt = settings::real(*params, "stepsize");
        const std::size_t more = std::min<std::size_t>(count, std::size_t(1) << 20);
        log_ekin.reserve(log_ekin.size() + more);
        log_epot.reserve(log_epot.size() + more);
        log_etot.reserve(log_etot.size() + more);
        log_conserved.reserve(log_conserved.size() + more);
        if (dynamics.get_barostat()) {
            log_volume.reserve(log_volume.size() + more);
            log_pressure.reserve(log_pressure.size() + more);
        }

        using clock = std::chrono::steady_clock;
        constexpr auto signal_interval = std::chrono::milliseconds(20);
        auto last_check = clock::now();
        bool interrupted = false;
        unsigned int done = 0;
        {
            Busy busy(*this);
            nb::gil_scoped_release unlocked;
            done = run_steps(dynamics, *cell, step, count, dt, false, [&](unsigned int number) {
                step = number + 1;
                log_ekin.push_back(cell->get_ekin());
                log_epot.push_back(cell->get_epot());
                log_etot.push_back(cell->get_etot());
                log_step_extras();
                const auto now = clock::now();
                if (now - last_check < signal_interval)
                    return true;
                last_check = now;
                nb::gil_scoped_acquire locked;
                interrupted = PyErr_CheckSignals() != 0;
                return !interrupted;
            });
        }
        if (interrupted)
            throw nb::python_error();
        return done;
    }

    unsigned int steps_done() const { return step; }
    unsigned int particles() const { return nr_particles; }

    // Kinetic energy: after a step the engine's own (full-step velocities); before
    // the first step that of the start velocities, summed in particle order as the
    // engine sums it.
    double ekin() const
    {
        idle();
        if (step > 0)
            return cell->get_ekin();
        const double m = params->get_param<double>("mass");
        const std::vector<double> v = cell->get_velocities();
        double sum = 0.0;
        for (std::size_t i = 0; i < v.size(); i += 3)
            sum += (v[i] * v[i] + v[i + 1] * v[i + 1]) + v[i + 2] * v[i + 2];
        return 0.5 * sum * m;
    }
    double epot() const { idle(); return cell->get_epot(); }
    double etot() const
    {
        idle();
        return step > 0 ? cell->get_etot() : ekin() + cell->get_epot();
    }
    double virial() const { idle(); return cell->virial(); }
    double conserved() const
    {
        idle();
        return dynamics.conserved(*cell);
    }
    int threads() const { return cell->team_limit(); }

    std::tuple<double, double, double> box() const
    {
        const vec3& d = cell->get_dims();
        return {d.x(), d.y(), d.z()};
    }

    nb::ndarray<nb::numpy, double> positions() const { idle(); return rows3(cell->get_positions()); }
    nb::ndarray<nb::numpy, double> velocities() const { idle(); return rows3(cell->get_velocities()); }
    nb::ndarray<nb::numpy, double> forces() const { idle(); return rows3(cell->get_forces()); }
    nb::ndarray<nb::numpy, double> positions_initial() const { idle(); return rows3(cell->get_initial_positions()); }
    nb::ndarray<nb::numpy, double> velocities_initial() const { idle(); return rows3(cell->get_initial_velocities()); }
    nb::ndarray<nb::numpy, std::int32_t> images() const
    {
        idle();
        std::vector<std::int32_t> im = cell->get_images();
        const std::size_t n = im.size() / 3;
        return numpy_array(std::move(im), n, 3);
    }

    // The energy log as three arrays (copies), one entry per step done.
    std::tuple<nb::ndarray<nb::numpy, double>, nb::ndarray<nb::numpy, double>, nb::ndarray<nb::numpy, double>>
    log() const
    {
        idle();
        return {numpy_array(std::vector<double>(log_ekin), log_ekin.size(), 0),
                numpy_array(std::vector<double>(log_epot), log_epot.size(), 0),
                numpy_array(std::vector<double>(log_etot), log_etot.size(), 0)};
    }

    // conserved, volume and pressure after each step: the first for every step done
    // since the engine existed, the other two since a barostat was attached.
    nb::dict log_extras() const
    {
        idle();
        nb::dict d;
        d["conserved"] = numpy_array(std::vector<double>(log_conserved), log_conserved.size(), 0);
        d["volume"] = numpy_array(std::vector<double>(log_volume), log_volume.size(), 0);
        d["pressure"] = numpy_array(std::vector<double>(log_pressure), log_pressure.size(), 0);
        return d;
    }

    // ---- integration method

    // The method of the next steps, by name and parameters, and the barostat
    // (its parameters, or none); their state starts afresh.
    void set_dynamics(const std::string& method, const Numbers& parameters, std::optional<Numbers> barostat)
    {
        idle();
        std::optional<CRescale> b;
        if (barostat)
            b = make_barostat(*barostat);
        dynamics.configure(make_method(method, parameters), std::move(b), seed);
    }

    // (method name, its parameters, barostat parameters or None).
    std::tuple<std::string, Numbers, std::optional<Numbers>> get_dynamics() const
    {
        const auto& b = dynamics.get_barostat();
        return {method_name(dynamics.get_method()), method_parameters(dynamics.get_method()),
                b ? std::optional<Numbers>(barostat_parameters(*b)) : std::nullopt};
    }

    Dynamics& dynamics_ref() { return dynamics; }
    const Dynamics& dynamics_ref() const { return dynamics; }

    Map parameters() const { return params->entries(); }

    // Replaces or adds one setting; the next step reads it.
    void set(const std::string& key, const std::string& value)
    {
        idle();
        params->override_param(key, value);
    }

    // Everything a checkpoint needs to continue bit for bit, as arrays.
    nb::dict state() const
    {
        idle();
        CellState s = cell->save_state();
        const std::size_t n = s.positions.size();
        nb::dict d;
        d["positions"] = rows3(flat(s.positions));
        d["velocities"] = rows3(flat(s.velocities));
        d["forces"] = rows3(flat(s.forces));
        d["dij_list"] = rows3(flat(s.dij_list));
        d["positions_initial"] = rows3(flat(s.positions_initial));
        d["velocities_initial"] = rows3(flat(s.velocities_initial));
        const std::size_t list_size = s.neighbor_list.size();
        d["neighbor_list"] = numpy_array(std::move(s.neighbor_list), list_size, 0);
        d["images"] = numpy_array(std::move(s.images), n, 3);
        d["epot"] = s.epot;
        d["ekin"] = s.ekin;
        d["etot"] = s.etot;
        d["box"] = numpy_array(std::vector<double>{s.box.x(), s.box.y(), s.box.z()}, 3, 0);
        d["list_box"] = numpy_array(std::vector<double>{s.list_box.x(), s.list_box.y(), s.list_box.z()}, 3, 0);
        return d;
    }

private:
    // Marks the engine as stepping (another Python thread must not touch the Cell
    // meanwhile); set and cleared with the interpreter lock held.
    struct Busy {
        explicit Busy(Engine& e) : engine(e) { engine.busy = true; }
        ~Busy() { engine.busy = false; }
        Engine& engine;
    };

    void idle() const
    {
        if (busy)
            throw std::runtime_error("this simulation is running in another thread; wait until its run returns");
    }

    void log_step_extras()
    {
        log_conserved.push_back(dynamics.conserved(*cell));
        if (const auto& b = dynamics.get_barostat()) {
            const vec3& box = cell->get_dims();
            log_volume.push_back(box.x() * box.y() * box.z());
            log_pressure.push_back(b->measured_pressure(*cell));
        }
    }

    std::string mismatch(const char* what, std::size_t rows) const
    {
        std::ostringstream msg;
        msg << what << " has " << rows << " rows, but nr_particles = " << nr_particles;
        return msg.str();
    }

    // The run settings, read before the Cell exists as simulate reads them
    // (stepsize, nrsteps, nr_particles); nrsteps only when the set has it, since a
    // Simulation is told its step counts by run().
    static unsigned int read_particle_count(const Parameters& p)
    {
        if (p.entries().count("nrsteps"))
            return read_run_settings(p).nr_particles;
        settings::real(p, "stepsize");
        return settings::count(p, "nr_particles");
    }

    std::shared_ptr<Parameters> params;  // the run's settings, shared with the Cell
    std::unique_ptr<Cell> cell;          // the box
    unsigned int step = 0;               // steps done; the next step has this number
    unsigned int nr_particles = 0;       // N, fixed for the life of the box
    std::vector<double> log_ekin;        // kinetic energy after each step done
    std::vector<double> log_epot;        // potential energy after each step done
    std::vector<double> log_etot;        // total energy after each step done
    std::vector<double> log_conserved;   // the method's conserved quantity after each step (this engine's)
    std::vector<double> log_volume;      // box volume after each step with a barostat
    std::vector<double> log_pressure;    // (2 ekin + W) / 3V after each step with a barostat
    std::optional<std::uint64_t> seed;   // key of the random numbers of the stochastic methods
    Dynamics dynamics;                   // the integration method and barostat
    bool busy = false;                   // a run is in progress (lock released)
};

std::shared_ptr<Parameters> parameters_from(const Map& entries)
{
    return std::make_shared<Parameters>(entries);
}

CellOptions options_from(std::optional<std::uint64_t> seed, int threads, std::optional<In3> positions,
                         std::optional<In3> velocities)
{
    CellOptions o;
    o.threads = threads;
    if (seed) {
        o.seeded = true;
        o.seed = *seed;
    }
    if (positions)
        o.positions = vectors(*positions, positions->shape(0), "positions");
    if (velocities)
        o.velocities = vectors(*velocities, velocities->shape(0), "velocities");
    return o;
}

std::unique_ptr<Engine> make_engine(const std::shared_ptr<Parameters>& p, std::optional<std::uint64_t> seed,
                                    int threads, std::optional<In3> positions, std::optional<In3> velocities)
{
    return std::make_unique<Engine>(p, options_from(seed, threads, std::move(positions), std::move(velocities)));
}

// The box edges now and at the list build, when a checkpoint has them (a box
// never rescaled is cell_length).
void read_box(const nb::dict& d, CellState& s)
{
    auto edges = [&](const char* key) {
        const In1 a = nb::cast<In1>(d[key]);
        if (a.shape(0) != 3)
            throw std::invalid_argument(std::string("the checkpoint's ") + key + " must hold three box edges");
        return vec3(a.data()[0], a.data()[1], a.data()[2]);
    };
    if (d.contains("box"))
        s.box = edges("box");
    if (d.contains("list_box"))
        s.list_box = edges("list_box");
}

// The integration method's entries of a checkpoint: its name, parameters and
// state, and the barostat's (names and values in two arrays each).
void dynamics_entries(const Dynamics& dyn, nb::dict& d)
{
    auto put = [&](const std::string& prefix, const Numbers& numbers) {
        std::vector<std::string> names;
        std::vector<double> values;
        for (const auto& [k, v] : numbers) {
            names.push_back(k);
            values.push_back(v);
        }
        d[(prefix + "_parameter_names").c_str()] = nb::cast(names);
        d[(prefix + "_parameter_values").c_str()] = numpy_array(std::move(values), names.size(), 0);
    };
    const Method& m = dyn.get_method();
    d["method"] = method_name(m);
    put("method", method_parameters(m));
    std::vector<double> state = method_state(m);
    const std::size_t n = state.size();
    d["method_state"] = numpy_array(std::move(state), n, 0);
    if (const auto& b = dyn.get_barostat()) {
        put("barostat", barostat_parameters(*b));
        d["barostat_work"] = b->work;
    }
}

// The method and barostat of a checkpoint, configured with `seed`; a checkpoint
// without them runs the default method.
void dynamics_from(const nb::dict& d, std::optional<std::uint64_t> seed, Dynamics& dyn)
{
    if (!d.contains("method"))
        return;
    auto numbers = [&](const std::string& prefix) {
        const auto names = nb::cast<std::vector<std::string>>(d[(prefix + "_parameter_names").c_str()]);
        const In1 values = nb::cast<In1>(d[(prefix + "_parameter_values").c_str()]);
        if (values.shape(0) != names.size())
            throw std::invalid_argument("the checkpoint's " + prefix + " parameters do not match their names");
        Numbers out;
        for (std::size_t i = 0; i < names.size(); ++i)
            out[names[i]] = values.data()[i];
        return out;
    };
    Method m = make_method(nb::cast<std::string>(d["method"]), numbers("method"));
    const In1 state = nb::cast<In1>(d["method_state"]);
    restore_method_state(m, std::vector<double>(state.data(), state.data() + state.shape(0)));
    std::optional<CRescale> b;
    if (d.contains("barostat_parameter_names")) {
        b = make_barostat(numbers("barostat"));
        b->work = nb::cast<double>(d["barostat_work"]);
    }
    dyn.configure(std::move(m), std::move(b), seed);
}

// A checkpoint's arrays back into a CellState; shapes are checked here, the
// consistency of the neighbour list by the Cell.
CellState state_from(const nb::dict& d, std::size_t n)
{
    auto item = [&](const char* key) -> nb::handle {
        if (!d.contains(key))
            throw std::invalid_argument(std::string("the checkpoint has no entry '") + key + "'");
        return d[key];
    };
    CellState s;
    s.positions = vectors(nb::cast<In3>(item("positions")), n, "positions");
    s.velocities = vectors(nb::cast<In3>(item("velocities")), n, "velocities");
    s.forces = vectors(nb::cast<In3>(item("forces")), n, "forces");
    s.dij_list = vectors(nb::cast<In3>(item("dij_list")), n, "dij_list");
    s.positions_initial = vectors(nb::cast<In3>(item("positions_initial")), n, "positions_initial");
    s.velocities_initial = vectors(nb::cast<In3>(item("velocities_initial")), n, "velocities_initial");
    const InU list = nb::cast<InU>(item("neighbor_list"));
    s.neighbor_list.assign(list.data(), list.data() + list.shape(0));
    const InI3 images = nb::cast<InI3>(item("images"));
    if (images.shape(0) != n || images.shape(1) != 3)
        throw std::invalid_argument("images must have shape (nr_particles, 3)");
    s.images.assign(images.data(), images.data() + 3 * n);
    s.epot = nb::cast<double>(item("epot"));
    s.ekin = nb::cast<double>(item("ekin"));
    s.etot = nb::cast<double>(item("etot"));
    read_box(d, s);
    return s;
}

std::vector<double> doubles(const In1& a) { return std::vector<double>(a.data(), a.data() + a.shape(0)); }

// ---------------------------------------------------------------- settings checks

std::vector<std::tuple<std::string, std::string>> check(const Map& entries)
{
    std::vector<std::tuple<std::string, std::string>> out;
    for (const SettingProblem& p : check_settings(Parameters(entries)))
        out.emplace_back(p.key, p.message);
    return out;
}

std::vector<std::tuple<std::string, std::string, std::string, std::string>> rules()
{
    std::vector<std::tuple<std::string, std::string, std::string, std::string>> out;
    for (const settings::Rule& r : settings::rules())
        out.emplace_back(r.key, settings::type_name(r.type), r.range_text, r.meaning);
    return out;
}

}  // namespace

// ---------------------------------------------------------------- module definition

NB_MODULE(_core, m)
{
    m.doc() = "Native engine of vorlan.Simulation: one Lennard-Jones box advanced step by step.";

    // The same table as vorlan.vorlan: std::invalid_argument -> ValueError,
    // std::range_error -> ArithmeticError, a missing key -> RuntimeError, ...
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (...) {
            translate_exception();
        }
    });

    nb::class_<Engine>(m, "Engine",
                       "One simulation box: its Cell, its settings, the steps done and the energy log.\n\n"
                       "Use vorlan.Simulation; this class is its native part.")
        .def_static(
            "from_file",
            [](const std::string& path, std::optional<std::uint64_t> seed, int threads, std::optional<In3> positions,
               std::optional<In3> velocities) {
                return make_engine(std::make_shared<Parameters>(path), seed, threads, std::move(positions),
                                   std::move(velocities));
            },
            "path"_a, "seed"_a.none(), "threads"_a, "positions"_a.none(), "velocities"_a.none(),
            "A box from a parameter file (which must exist), seeded or on the process-wide sequence.")
        .def_static(
            "from_dict",
            [](const Map& entries, std::optional<std::uint64_t> seed, int threads, std::optional<In3> positions,
               std::optional<In3> velocities) {
                return make_engine(parameters_from(entries), seed, threads, std::move(positions),
                                   std::move(velocities));
            },
            "entries"_a, "seed"_a.none(), "threads"_a, "positions"_a.none(), "velocities"_a.none(),
            "A box from settings given as key -> value text.")
        .def_static(
            "restore",
            [](const Map& entries, const nb::dict& state, int threads, unsigned int steps, const In1& ekin,
               const In1& epot, const In1& etot, std::optional<std::uint64_t> seed) {
                auto p = parameters_from(entries);
                const std::size_t n = p->get_param<unsigned int>("nr_particles");
                auto engine = std::make_unique<Engine>(p, state_from(state, n), threads, steps, doubles(ekin),
                                                       doubles(epot), doubles(etot), seed);
                dynamics_from(state, seed, engine->dynamics_ref());
                return engine;
            },
            "entries"_a, "state"_a, "threads"_a, "steps"_a, "ekin"_a, "epot"_a, "etot"_a, "seed"_a.none() = nb::none(),
            "A box restored from checkpoint arrays (see state()), continuing bit for bit.")
        .def("advance", &Engine::advance, "count"_a,
             "Advances count steps with the interpreter lock released; returns the steps done.\n"
             "Ctrl-C raises KeyboardInterrupt after the step in progress.")
        .def_prop_ro("step", &Engine::steps_done, "Steps done.")
        .def_prop_ro("nr_particles", &Engine::particles, "Number of particles N.")
        .def_prop_ro("threads", &Engine::threads,
                     "Most threads the parallel loops use (one while other processes keep the cores busy).")
        .def_prop_ro("box", &Engine::box, "Box edge lengths (Lx, Ly, Lz).")
        .def_prop_ro("ekin", &Engine::ekin, "Kinetic energy.")
        .def_prop_ro("epot", &Engine::epot, "Potential energy.")
        .def_prop_ro("etot", &Engine::etot, "Total energy.")
        .def_prop_ro("virial", &Engine::virial, "Virial W = sum over pairs within rcut of r_ij . F_ij.")
        .def_prop_ro("positions", &Engine::positions, nb::rv_policy::move, "Positions (N, 3), wrapped into the box.")
        .def_prop_ro("velocities", &Engine::velocities, nb::rv_policy::move, "Velocities (N, 3).")
        .def_prop_ro("forces", &Engine::forces, nb::rv_policy::move, "Forces (N, 3).")
        .def_prop_ro("images", &Engine::images, nb::rv_policy::move, "Box crossings (N, 3) counted by the wrap.")
        .def_prop_ro("positions_initial", &Engine::positions_initial, nb::rv_policy::move, "Start positions (N, 3).")
        .def_prop_ro("velocities_initial", &Engine::velocities_initial, nb::rv_policy::move, "Start velocities (N, 3), as drawn or given.")
        .def("log", &Engine::log, "Energy log (ekin, epot, etot): three arrays, one entry per step done.")
        .def_prop_ro("parameters", &Engine::parameters, "Settings as key -> value text.")
        .def("set", &Engine::set, "key"_a, "value"_a, "Replaces or adds one setting; the next step reads it.")
        .def(
            "state",
            [](const Engine& e) {
                nb::dict d = e.state();
                dynamics_entries(e.dynamics_ref(), d);
                return d;
            },
            "The arrays a checkpoint needs to continue bit for bit (the method's state included).")
        .def_prop_ro("conserved", &Engine::conserved,
                     "The conserved quantity of the method: etot plus the thermostat's and barostat's terms.")
        .def("log_extras", &Engine::log_extras,
             "Log of the conserved quantity (every step) and of volume and pressure (steps with a barostat).")
        .def("set_dynamics", &Engine::set_dynamics, "method"_a, "parameters"_a, "barostat"_a.none(),
             "The integration method of the next steps (berendsen, nve, langevin, bussi, nose_hoover) with its\n"
             "parameters, and the CRescale barostat's parameters or None; their state starts afresh.")
        .def_prop_ro("dynamics", &Engine::get_dynamics,
                     "(method name, its parameters, barostat parameters or None).");

    m.def("check_settings", &check, "entries"_a,
          "Checks settings given as key -> value text by every single-key and cross-key rule,\n"
          "without running anything. Returns a list of (key, message), empty when all is well.");
    m.def("setting_rules", &rules,
          "The rules of all settings: a list of (key, type name, allowed range, meaning).");
}
