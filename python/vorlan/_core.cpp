// The extension module vorlan._core: a simulation box that Python advances step
// by step (the engine of vorlan.Simulation, python/vorlan/simulation.py), and the
// engine's parameter reader and setting rules for the Python package.
//
// An Engine owns one Cell, its Parameters and a Run (run.h): the step counter,
// the energy log and the loop that simulate and vorlan-run go through as well,
// so that a run split into pieces, simulate and vorlan-run all perform the same
// sequence of operations. Python observes a run through the Run's hooks
// (PythonObserver): the start, every K steps, the last step, and every 20 ms the
// signal handlers and a progress callable.
//
// The interpreter lock is released while the engine steps and taken back only
// for a hook, between two whole steps: a Ctrl-C or a callback's exception stops
// the loop after the step in progress, with that step counted and logged, and
// the last-step hook still runs.
//
// Native exceptions become Python exceptions by the same table as in vorlan.vorlan
// (translate.h), registered once as a nanobind exception translator.
//
// Sections: helpers, the Python observer, the Engine, settings, module definition.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/array.h>
#include <nanobind/stl/map.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/unique_ptr.h>
#include <nanobind/stl/unordered_map.h>
#include <nanobind/stl/vector.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <numeric>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "cell.h"
#include "kernels.h"
#include "list_clock.h"
#include "methods/dynamics.h"
#include "minimize.h"
#include "parameters.h"
#include "run.h"
#include "settings.h"
#include "threads.h"
#include "translate.h"
#ifdef VORLAN_MPI
#include "mpi_domain.h"
#endif

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
using In2 = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using InI1 = nb::ndarray<const std::int32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

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

std::vector<double> doubles(const In1& a) { return std::vector<double>(a.data(), a.data() + a.shape(0)); }

nb::ndarray<nb::numpy, double> rows3(std::vector<double>&& flat)
{
    const std::size_t n = flat.size() / 3;
    return numpy_array(std::move(flat), n, 3);
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

// ---------------------------------------------------------------- the Python observer

// A Python error taken out of the interpreter's error indicator while other
// Python code runs, and put back afterwards. Used with the interpreter lock held.
class HeldError {
public:
    HeldError() = default;
    HeldError(const HeldError&) = delete;
    HeldError& operator=(const HeldError&) = delete;
    ~HeldError() { Py_XDECREF(type); Py_XDECREF(value); Py_XDECREF(traceback); }
    // Takes the pending error, unless one is held already (the first one wins).
    void take()
    {
        if (held()) {
            PyErr_Clear();
            return;
        }
        PyErr_Fetch(&type, &value, &traceback);
    }
    bool held() const { return type != nullptr; }
    bool is(PyObject* kind) const { return held() && PyErr_GivenExceptionMatches(type, kind); }
    // Puts the held error back as the pending one.
    void restore()
    {
        PyErr_Restore(type, value, traceback);
        type = value = traceback = nullptr;
    }

private:
    PyObject* type = nullptr;       // exception type, value and traceback as fetched
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
};

// The run's hooks for Python, called with the interpreter lock taken back: the
// observer(event, steps_done) with event "start", "every" or "last" (always
// after the last step, also when "every" just saw it), and every
// 20 ms of stepping the signal handlers and progress(steps_done). The first
// Python error (a callback's exception, KeyboardInterrupt) stops the run after
// the step in progress; the "last" event still follows it, so a trajectory ends
// where the run ends.
class PythonObserver {
public:
    PythonObserver(nb::handle on_event, nb::handle on_progress, bool& stepping_flag)
        : observer(on_event), progress(on_progress), stepping(stepping_flag)
    {
    }

    void start(unsigned int steps) { call("start", steps); }
    void every(unsigned int steps) { call("every", steps); }
    void last(unsigned int steps, bool) { call("last", steps); }

    bool go_on(unsigned int steps)
    {
        if (error.held())
            return false;
        const auto now = clock::now();
        if (now - last_check < signal_interval)
            return true;
        last_check = now;
        Locked locked(*this);
        if (PyErr_CheckSignals() != 0) {
            error.take();
            return false;
        }
        if (progress.is_valid() && !progress.is_none() && !call_python(progress, steps))
            return false;
        return true;
    }

    // With the lock held: a signal not looked at yet becomes the held error;
    // 0 when none is held, 1 for KeyboardInterrupt, 2 for another error.
    int held_kind()
    {
        if (!error.held() && PyErr_CheckSignals() != 0)
            error.take();
        return !error.held() ? 0 : error.is(PyExc_KeyboardInterrupt) ? 1 : 2;
    }
    // Holds `type` with `message` as the run's error, unless one is held.
    void hold(PyObject* type, const char* message)
    {
        PyErr_SetString(type, message);
        error.take();
    }

    // Raises the held error, if any (with the lock held).
    void raise_held()
    {
        if (error.held()) {
            error.restore();
            throw nb::python_error();
        }
    }

private:
    using clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds signal_interval{20};

    // The interpreter lock, taken for a hook; the Cell is not stepping meanwhile,
    // so the Python code may look at it.
    struct Locked {
        explicit Locked(PythonObserver& o) : owner(o) { owner.stepping = false; }
        ~Locked() { owner.stepping = true; }
        PythonObserver& owner;
        nb::gil_scoped_acquire lock;
    };

    void call(const char* event, unsigned int steps)
    {
        if (!observer.is_valid() || observer.is_none())
            return;
        Locked locked(*this);
        // after an error only the "last" event is delivered, with the error set aside
        if (error.held() && std::string(event) != "last")
            return;
        call_python(observer, nb::str(event), steps);
    }

    template <typename... Args>
    bool call_python(nb::handle f, Args&&... args)
    {
        try {
            f(std::forward<Args>(args)...);
            return true;
        } catch (nb::python_error& e) {
            e.restore();
            error.take();
            return false;
        }
    }

    nb::handle observer;                 // observer(event, steps_done), or None
    nb::handle progress;                 // progress(steps_done), or None
    bool& stepping;                      // the engine's flag: the Cell is stepping without the lock
    HeldError error;                     // the first Python error of the run
    clock::time_point last_check = clock::now();  // the latest look at the signal handlers
};

// ---------------------------------------------------------------- the Engine

// The pair potential as checkpoint entries: pair_family, pair_mode,
// pair_nr_types, pair_values (S x S x P flat), pair_tail and, for tabulated
// families, pair_arrays (every pair's columns one after the other) with
// pair_array_sizes.
void pair_entries(const PairPotential& p, nb::dict& d)
{
    d["pair_family"] = p.family;
    d["pair_mode"] = p.mode;
    d["pair_nr_types"] = static_cast<long long>(p.nr_types);
    d["pair_values"] = numpy_array(std::vector<double>(p.values), p.values.size(), 0);
    d["pair_tail"] = p.tail_correction;
    if (!p.arrays.empty()) {
        std::vector<double> all;
        std::vector<double> sizes;
        for (const auto& a : p.arrays) {
            all.insert(all.end(), a.begin(), a.end());
            sizes.push_back(static_cast<double>(a.size()));
        }
        const std::size_t n = all.size(), m = sizes.size();
        d["pair_arrays"] = numpy_array(std::move(all), n, 0);
        d["pair_array_sizes"] = numpy_array(std::move(sizes), m, 0);
    }
}

// A pair potential from the entries pair_entries writes (`prefix` "pair_") or
// from vorlan.pair's dict (no prefix): family, mode, nr_types, values, tail,
// and arrays (a list of 1-D arrays) or arrays + array_sizes.
PairPotential potential_from(const nb::dict& d, const std::string& prefix)
{
    auto item = [&](const std::string& key) -> nb::handle {
        if (!d.contains((prefix + key).c_str()))
            throw std::invalid_argument("the pair potential has no entry '" + prefix + key + "'");
        return d[(prefix + key).c_str()];
    };
    PairPotential p;
    p.family = nb::cast<std::string>(item("family"));
    p.mode = nb::cast<std::string>(item("mode"));
    p.nr_types = nb::cast<std::size_t>(item("nr_types"));
    const In1 values = nb::cast<In1>(item("values"));
    p.values.assign(values.data(), values.data() + values.shape(0));
    p.tail_correction = nb::cast<bool>(item("tail"));
    if (d.contains((prefix + "arrays").c_str())) {
        const nb::handle arrays = item("arrays");
        if (d.contains((prefix + "array_sizes").c_str())) {
            const In1 all = nb::cast<In1>(arrays);
            const In1 sizes = nb::cast<In1>(item("array_sizes"));
            std::size_t at = 0;
            for (std::size_t k = 0; k < sizes.shape(0); ++k) {
                const std::size_t n = static_cast<std::size_t>(sizes.data()[k]);
                if (at + n > all.shape(0))
                    throw std::invalid_argument("the pair potential's array sizes exceed its arrays");
                p.arrays.emplace_back(all.data() + at, all.data() + at + n);
                at += n;
            }
        } else {
            for (nb::handle a : arrays) {
                const In1 column = nb::cast<In1>(a);
                p.arrays.emplace_back(column.data(), column.data() + column.shape(0));
            }
        }
    }
    return p;
}

// The fields from vorlan.field's dicts: kind "constant" with force (fx, fy,
// fz), or kind "wall" with style, axis (0..2), epsilon, sigma, k, rcut.
std::vector<Field> fields_from(const nb::list& given)
{
    std::vector<Field> out;
    for (nb::handle h : given) {
        const nb::dict d = nb::cast<nb::dict>(h);
        auto number = [&](const char* key) { return d.contains(key) ? nb::cast<double>(d[key]) : 0.0; };
        Field f;
        f.kind = nb::cast<std::string>(d["kind"]);
        if (d.contains("force")) {
            const std::vector<double> force = nb::cast<std::vector<double>>(d["force"]);
            if (force.size() != 3)
                throw std::invalid_argument("a constant field's force must be three components (fx, fy, fz)");
            for (int k = 0; k < 3; ++k)
                f.force[k] = force[static_cast<std::size_t>(k)];
        }
        if (d.contains("style"))
            f.style = nb::cast<std::string>(d["style"]);
        if (d.contains("axis"))
            f.axis = nb::cast<int>(d["axis"]);
        f.epsilon = number("epsilon");
        f.sigma = number("sigma");
        f.k = number("k");
        f.rcut = number("rcut");
        out.push_back(f);
    }
    return out;
}

// The checkpoint's rows of the fields, ten numbers each: kind (0 constant,
// 1 wall), style (0 lj93, 1 harmonic), axis, fx, fy, fz, epsilon, sigma, k, rcut.
constexpr std::size_t field_row = 10;

std::vector<double> field_rows(const std::vector<Field>& fields)
{
    std::vector<double> rows;
    for (const Field& f : fields)
        rows.insert(rows.end(), {f.kind == "wall" ? 1.0 : 0.0, f.style == "harmonic" ? 1.0 : 0.0,
                                 static_cast<double>(f.axis), f.force[0], f.force[1], f.force[2], f.epsilon, f.sigma,
                                 f.k, f.rcut});
    return rows;
}

std::vector<Field> fields_of_rows(const In2& rows)
{
    if (rows.shape(1) != field_row)
        throw std::invalid_argument("the checkpoint's fields must hold ten numbers per field");
    std::vector<Field> out;
    for (std::size_t i = 0; i < rows.shape(0); ++i) {
        const double* r = rows.data() + field_row * i;
        Field f;
        f.kind = r[0] == 1.0 ? "wall" : r[0] == 0.0 ? "constant" : "unknown";
        if (f.kind == "wall")
            f.style = r[1] == 1.0 ? "harmonic" : r[1] == 0.0 ? "lj93" : "unknown";
        f.axis = static_cast<int>(r[2]);
        for (int k = 0; k < 3; ++k)
            f.force[k] = r[3 + k];
        f.epsilon = r[6];
        f.sigma = r[7];
        f.k = r[8];
        f.rcut = r[9];
        out.push_back(f);
    }
    return out;
}

#ifdef VORLAN_MPI
// The hooks of a divided run: the same on every process, and a stop (Ctrl-C,
// a callback's error) on any process stops all after the same step. A stop
// asked for between hooks rides on the next step's reductions (no collective
// of its own: every process sees it at the same step); after a hook, whose
// error must end the run at that very step, the processes agree at once.
template <typename Observer>
struct AgreedObserver {
    Observer& inner;
    MpiDomain& domain;
    bool hooked = false;  // a hook ran since the latest go_on
    void start(unsigned int steps)
    {
        inner.start(steps);
        hooked = true;
    }
    void every(unsigned int steps)
    {
        inner.every(steps);
        hooked = true;
    }
    void last(unsigned int steps, bool seen) { inner.last(steps, seen); }
    bool go_on(unsigned int steps)
    {
        if (!inner.go_on(steps))
            domain.request_stop();
        if (hooked) {
            hooked = false;
            domain.any(false);  // the frame carries the stops
        }
        return !domain.stop_agreed();
    }
};

// An exception that left a step on some process, raised on every process with
// the message of the lowest one that holds one.
[[noreturn]] void raise_agreed(MpiDomain& domain, std::exception_ptr caught)
{
    int kind = 0;
    std::string message;
    bool here = true;
    try {
        std::rethrow_exception(caught);
    } catch (const FailedElsewhere&) {
        here = false;
    } catch (const std::invalid_argument& e) {
        kind = 1, message = e.what();
    } catch (const std::range_error& e) {
        kind = 2, message = e.what();
    } catch (const std::overflow_error& e) {
        kind = 3, message = e.what();
    } catch (const std::bad_alloc& e) {
        kind = 4, message = e.what();
    } catch (const std::exception& e) {
        kind = 5, message = e.what();
    } catch (...) {
        kind = 5, message = "an unknown error";
    }
    if (here)
        domain.fail();
    domain.agree_failure(here, kind, message);
    switch (kind) {
    case 1: throw std::invalid_argument(message);
    case 2: throw std::range_error(message);
    case 3: throw std::overflow_error(message);
    case 4: throw std::runtime_error("out of memory: " + message);
    default: throw std::runtime_error(message);
    }
}
#endif

class Engine {
public:
    // A new box from a parameter set: lattice or given start state, first list and forces.
    Engine(std::shared_ptr<Parameters> p, CellOptions options)
        : params(std::move(p))
    {
        nr_particles = read_particle_count(*params);
        check_start_rows(options, nr_particles);
        cell = std::make_unique<Cell>(params, options);
        run_state = std::make_unique<Run>(*cell, params, 0, true, false);
        if (options.seeded)
            seed = options.seed;
        dynamics.configure(Berendsen(), std::nullopt, seed);
        run_state->set_dynamics(&dynamics);
    }

    // A box restored from a checkpoint, `steps` steps into its run, with its log.
    Engine(std::shared_ptr<Parameters> p, const CellState& state, int threads, unsigned int steps, EnergyLog log,
           std::optional<std::uint64_t> seed_, unsigned int log_start = 0)
        : params(std::move(p)), seed(seed_)
    {
        cell = std::make_unique<Cell>(params, state, threads);  // checks the settings first
        cell->set_order(true, true);
        nr_particles = read_particle_count(*params);
        run_state = std::make_unique<Run>(*cell, params, 0, true, false, steps);
        run_state->restore_log(std::move(log), log_start);
        dynamics.configure(Berendsen(), std::nullopt, seed);
        run_state->set_dynamics(&dynamics);
    }

    // Advances at most `count` steps with the interpreter lock released and
    // returns the steps done; observer and progress as in PythonObserver. A
    // Python error raised meanwhile (Ctrl-C, a callback's) is raised after the
    // step in progress, everything up to it counted and logged.
    unsigned int run(unsigned int count, unsigned int every, nb::handle observer, nb::handle progress,
                     unsigned int terms_every = 0)
    {
        idle();
        if (running)
            throw std::runtime_error("this simulation is already running: a callback cannot start another run");
        unsigned int done = 0;
        PythonObserver hooks(observer, progress, stepping);
        {
            Running guard(*this);
            run_state->set_every(every);
            run_state->set_terms_every(terms_every);
            nb::gil_scoped_release unlocked;
#ifdef VORLAN_MPI
            if (domain) {
                AgreedObserver<PythonObserver> agreed{hooks, *domain};
                domain->reset_stop();
                try {
                    done = run_state->advance(count, agreed);
                } catch (...) {
                    raise_agreed(*domain, std::current_exception());
                }
            } else
#endif
                done = run_state->advance(count, hooks);
        }
#ifdef VORLAN_MPI
        if (domain) {
            // a stop asked for at the last step, or a signal not yet looked at,
            // raises on every process: the same exception unless one of its own
            const int here = hooks.held_kind();
            const int anywhere = domain->agree_max(here);
            if (here == 0 && anywhere == 1)
                hooks.hold(PyExc_KeyboardInterrupt, "interrupted on another process");
            else if (here == 0 && anywhere == 2)
                hooks.hold(PyExc_RuntimeError, "the run stopped with an error on another process");
        }
#endif
        hooks.raise_held();
        return done;
    }

    unsigned int steps_done() const { return run_state->steps_done(); }
    unsigned int particles() const { return nr_particles; }

    // Kinetic energy: after a step the engine's own (full-step velocities); before
    // the first step that of the start velocities, as the first step takes it.
    double ekin() const
    {
        idle();
        return steps_done() > 0 ? cell->get_ekin() : cell->kinetic_energy_of_velocities();
    }
    double epot() const { idle(); return cell->get_epot(); }
    double etot() const
    {
        idle();
        return steps_done() > 0 ? cell->get_etot() : ekin() + cell->get_epot();
    }
    double virial() const { idle(); return cell->virial(); }
    // The virial tensor (xx, yy, zz, xy, xz, yz) and the per-particle terms of
    // the current forces, evaluated when first asked for.
    std::tuple<double, double, double, double, double, double> virial_tensor()
    {
        idle();
        const double* w = cell->virial_tensor();
        return {w[0], w[1], w[2], w[3], w[4], w[5]};
    }
    std::tuple<double, double, double, double, double, double> kinetic_tensor() const
    {
        idle();
        const std::array<double, 6> k = cell->kinetic_tensor();
        return {k[0], k[1], k[2], k[3], k[4], k[5]};
    }
    nb::ndarray<nb::numpy, double> particle_energies()
    {
        idle();
        return numpy_array(global(cell->particle_energies(), 1), nr_particles, 0);
    }
    nb::ndarray<nb::numpy, double> particle_virials()
    {
        idle();
        return numpy_array(global(cell->particle_virials(), 6), nr_particles, 6);
    }
    void set_pair_terms(bool on)
    {
        idle();
        cell->set_pair_terms(on);
    }
    // Whether the particles are kept in memory in subcell order (results alike
    // either way); a divided box keeps them in the order of their ids.
    bool sort_particles() const { return cell->sorted(); }
    void set_sort_particles(bool on) { idle(); cell->set_order(cell->exact(), on); }
    // Whether the global sums are exact (else chained in particle order, as
    // simulate's); always for a divided box.
    bool exact_sums() const { return cell->exact(); }
    void set_exact_sums(bool on) { idle(); cell->set_order(on, cell->sorted()); }
    // The external fields as rows of ten numbers (field_rows), F x 10.
    nb::object field_rows_of_run() const
    {
        const std::vector<Field>& f = cell->get_fields();
        return nb::cast(numpy_array(field_rows(f), f.size(), field_row));
    }
    // The run's pair potential (family, mode, nr_types, values), None for the
    // settings' Lennard-Jones.
    nb::object pair_potential() const
    {
        const PairPotential& p = cell->pair_potential();
        if (p.empty())
            return nb::none();
        nb::dict d;
        d["family"] = p.family;
        d["mode"] = p.mode;
        d["nr_types"] = p.nr_types;
        d["values"] = numpy_array(std::vector<double>(p.values), p.values.size(), 0);
        d["tail"] = p.tail_correction;
        return d;
    }
    // The method's conserved quantity: etot plus its thermostat's and barostat's terms.
    double conserved() const { idle(); return dynamics.conserved(*cell) - cell->get_etot() + etot(); }
    int threads() const { return cell->team_limit(); }

    std::tuple<double, double, double> box() const
    {
        const vec3& d = cell->get_dims();
        return {d.x(), d.y(), d.z()};
    }

    // The type of each particle (all 0 for one species).
    nb::ndarray<nb::numpy, std::int32_t> types() const
    {
        std::vector<std::int32_t> t =
            cell->mixed() ? global(cell->get_types(), 1) : std::vector<std::int32_t>(nr_particles, 0);
        return numpy_array(std::move(t), nr_particles, 0);
    }

    nb::ndarray<nb::numpy, double> positions() const { idle(); return rows3(global(cell->get_positions())); }
    nb::ndarray<nb::numpy, double> velocities() const { idle(); return rows3(global(cell->get_velocities())); }
    nb::ndarray<nb::numpy, double> forces() const { idle(); return rows3(global(cell->get_forces())); }
    nb::ndarray<nb::numpy, double> positions_initial() const
    {
        idle();
        return rows3(global(cell->get_initial_positions()));
    }
    nb::ndarray<nb::numpy, double> velocities_initial() const
    {
        idle();
        return rows3(global(cell->get_initial_velocities()));
    }
    nb::ndarray<nb::numpy, std::int32_t> images() const
    {
        idle();
        std::vector<std::int32_t> im = global(cell->get_images(), 3);
        const std::size_t n = im.size() / 3;
        return numpy_array(std::move(im), n, 3);
    }

    // ---- a box divided among processes

    // Divides the box among the processes of the communicator with Fortran handle
    // `comm` (collective: every process calls it with the same box); `domains`
    // the domains per axis, zeros: chosen from the subcell grid.
    // `keep_list`: a restored box goes on with its saved list (Cell::distribute).
    void divide(std::int64_t comm, std::array<int, 3> domains, bool keep_list)
    {
        idle();
#ifdef VORLAN_MPI
        int initialized = 0;
        MPI_Initialized(&initialized);
        if (!initialized)
            throw std::runtime_error("MPI is not initialised: import mpi4py.MPI before passing comm=");
        if (domain)
            throw std::runtime_error("this simulation is already divided among processes");
        domain = std::make_shared<MpiDomain>(MPI_Comm_f2c(static_cast<MPI_Fint>(comm)), nr_particles, domains);
        cell->distribute(domain, keep_list);
#else
        (void)comm;
        (void)domains;
        (void)keep_list;
        throw std::runtime_error(
            "this vorlan was built without MPI: install an MPI (Debian: mpich libmpich-dev) and rebuild it to pass comm=");
#endif
    }
    // (rank, ranks, domains per axis); (0, 1, (1, 1, 1)) for an undivided box.
    std::tuple<int, int, std::tuple<int, int, int>> division() const
    {
#ifdef VORLAN_MPI
        if (domain) {
            const std::array<int, 3> d = domain->domains();
            return {domain->rank(), domain->ranks(), {d[0], d[1], d[2]}};
        }
#endif
        return {0, 1, {1, 1, 1}};
    }
    // This process's own particles: ids, positions, velocities, forces, images, and ghosts held.
    nb::dict local() const
    {
        idle();
        nb::dict d;
        // in memory order when divided; handed out in id order otherwise
        std::vector<std::uint32_t> ids = cell->get_ids();
        if (!cell->distributed())
            std::iota(ids.begin(), ids.end(), 0u);
        const std::size_t n = ids.size();
        d["ids"] = numpy_array(std::move(ids), n, 0);
        d["positions"] = rows3(cell->get_positions());
        d["velocities"] = rows3(cell->get_velocities());
        d["forces"] = rows3(cell->get_forces());
        std::vector<std::int32_t> im = cell->get_images();
        d["images"] = numpy_array(std::move(im), n, 3);
        d["ghosts"] = cell->get_ghost_positions().size();
        return d;
    }

    // The energy log as three arrays (copies), one entry per step done.
    std::tuple<nb::ndarray<nb::numpy, double>, nb::ndarray<nb::numpy, double>, nb::ndarray<nb::numpy, double>>
    log() const
    {
        idle();
        const EnergyLog& e = run_state->log();
        return {numpy_array(std::vector<double>(e.ekin), e.ekin.size(), 0),
                numpy_array(std::vector<double>(e.epot), e.epot.size(), 0),
                numpy_array(std::vector<double>(e.etot), e.etot.size(), 0)};
    }

    // Log of the conserved quantity, the volume and the pressure (NaN where no
    // barostat measured it), one entry per step done (NaN for steps of a
    // checkpoint that had none).
    nb::dict log_extras() const
    {
        idle();
        const EnergyLog& e = run_state->log();
        const std::size_t n = e.ekin.size();
        nb::dict d;
        for (auto [name, values] : {std::pair<const char*, const std::vector<double>*>{"conserved", &e.conserved},
                                    {"volume", &e.volume},
                                    {"pressure", &e.pressure}}) {
            std::vector<double> copy(*values);
            copy.resize(n, std::numeric_limits<double>::quiet_NaN());
            d[name] = numpy_array(std::move(copy), n, 0);
        }
        return d;
    }

    // ---- integration method

    // The method of the next steps, by name and parameters, and the barostat
    // (its parameters, or none); their state starts afresh.
    void set_dynamics(const std::string& method, const Numbers& parameters, std::optional<Numbers> barostat)
    {
        idle();
        dynamics.configure(method, parameters, barostat);
    }

    // (method name, its parameters, barostat parameters or None).
    std::tuple<std::string, Numbers, std::optional<Numbers>> get_dynamics() const
    {
        const auto& b = dynamics.get_barostat();
        return {method_name(dynamics.get_method()), method_parameters(dynamics.get_method()),
                b ? std::optional<Numbers>(barostat_parameters(*b)) : std::nullopt};
    }

    // ---- edits and minimisation between runs

    // New positions, velocities and/or box (Cell::edit); pairs closer than
    // min_distance of their sigma refused (0: no check).
    void edit(std::optional<In3> x, std::optional<In3> v, std::optional<In1> box, double min_distance)
    {
        idle();
        undivided("an edit");
        std::vector<vec3> xs, vs;
        vec3 b;
        CellEdit e;
        e.min_distance = min_distance;
        if (x) {
            xs = vectors(*x, x->shape(0), "positions");
            e.positions = &xs;
        }
        if (v) {
            vs = vectors(*v, v->shape(0), "velocities");
            e.velocities = &vs;
        }
        if (box) {
            if (box->shape(0) != 3)
                throw std::invalid_argument("box must hold three side lengths (Lx, Ly, Lz)");
            b = vec3(box->data()[0], box->data()[1], box->data()[2]);
            e.box = &b;
        }
        cell->edit(e);
        state_changed();
    }

    // FIRE on the cell's positions (minimize.h) with the settings given by name.
    nb::dict minimize(const Numbers& given)
    {
        idle();
        undivided("minimisation");
        Fire fire(fire_settings(given));
        FireResult r;
        {
            // other Python threads are kept off the cell while the lock is released
            // (restored after: a callback of a run may minimise)
            struct Busy {
                explicit Busy(bool& f) : flag(f), before(f) { flag = true; }
                ~Busy() { flag = before; }
                bool& flag;
                bool before;
            } busy(stepping);
            nb::gil_scoped_release unlocked;
            r = fire.minimize(*cell);
        }
        state_changed();
        nb::dict d;
        d["energy"] = r.epot;
        d["fmax"] = r.fmax;
        d["steps"] = r.steps;
        d["converged"] = r.converged;
        d["reason"] = r.reason;
        return d;
    }

    // This box takes over the step count of an earlier run (its log starts after it).
    void start_at(unsigned int steps)
    {
        idle();
        undivided("taking over a step count");
        run_state->start_at(steps);
        cell->edit(CellEdit{});  // the kinetic and total energy a step leaves, for the first step to read
    }
    unsigned int log_start() const { return run_state->log_start(); }

    Dynamics& dynamics_ref() { return dynamics; }
    const Dynamics& dynamics_ref() const { return dynamics; }

    Map parameters() const { return params->entries(); }

    // Replaces or adds one setting; the next step reads it.
    void set(const std::string& key, const std::string& value)
    {
        idle();
        params->override_param(key, value);
    }

    // Everything a checkpoint needs to continue bit for bit, as arrays. A
    // divided box gathers its per-particle arrays and list on process 0
    // (collective), as one process holds them; the others get empty ones.
    nb::dict state() const
    {
        idle();
        CellState s = cell->save_state();
        const bool here = division_rank() == 0;
        const std::size_t n = here ? nr_particles : 0;
        nb::dict d;
        d["positions"] = rows3(on_root(flatten(s.positions), 3));
        d["velocities"] = rows3(on_root(flatten(s.velocities), 3));
        d["forces"] = rows3(on_root(flatten(s.forces), 3));
        d["dij_list"] = rows3(on_root(flatten(s.dij_list), 3));
        d["positions_initial"] = rows3(on_root(flatten(s.positions_initial), 3));
        d["velocities_initial"] = rows3(on_root(flatten(s.velocities_initial), 3));
#ifdef VORLAN_MPI
        if (domain)
            s.neighbor_list = domain->gather_list(cell->get_ids(), s.neighbor_list);
#endif
        const std::size_t list_size = s.neighbor_list.size();
        d["neighbor_list"] = numpy_array(std::move(s.neighbor_list), list_size, 0);
        d["images"] = numpy_array(on_root(std::move(s.images), 3), n, 3);
        if (!s.species.empty())
            s.species.types = on_root(std::move(s.species.types), 1);
        d["epot"] = s.epot;
        d["ekin"] = s.ekin;
        d["etot"] = s.etot;
        d["virial"] = s.virial;
        d["box"] = numpy_array(std::vector<double>{s.box.x(), s.box.y(), s.box.z()}, 3, 0);
        d["list_box"] = numpy_array(std::vector<double>{s.list_box.x(), s.list_box.y(), s.list_box.z()}, 3, 0);
        if (!s.species.empty()) {
            const std::size_t nt = s.species.nr_types();
            d["types"] = numpy_array(std::move(s.species.types), n, 0);
            d["masses"] = numpy_array(std::move(s.species.masses), nt, 0);
            if (!s.species.rcut.empty()) {
                d["epsilon"] = numpy_array(std::move(s.species.epsilon), nt, nt);
                d["sigma"] = numpy_array(std::move(s.species.sigma), nt, nt);
                d["rcut"] = numpy_array(std::move(s.species.rcut), nt, nt);
            }
        }
        if (!s.potential.empty())
            pair_entries(s.potential, d);
        if (!s.fields.empty()) {
            const std::size_t nf = s.fields.size();
            d["fields"] = numpy_array(field_rows(s.fields), nf, field_row);
        }
        return d;
    }

private:
    // Marks a run in progress (set and cleared with the interpreter lock held);
    // the Cell is stepping, out of reach of other Python threads, except while a
    // hook holds the lock.
    struct Running {
        explicit Running(Engine& e) : engine(e) { engine.running = engine.stepping = true; }
        ~Running() { engine.running = engine.stepping = false; }
        Engine& engine;
    };

    void state_changed() { dynamics.state_changed(); }

    // The held particles' values (`width` per particle) in global order, gathered
    // from every process of a divided box (collective); as they are otherwise.
    template <typename T>
    std::vector<T> global(std::vector<T>&& values, int width = 3) const
    {
#ifdef VORLAN_MPI
        if (domain)
            return domain->gather(cell->get_ids(), values.data(), width);
#endif
        (void)width;
        return std::move(values);
    }

    // The same gathered on process 0 only (collective); empty on the others.
    template <typename T>
    std::vector<T> on_root(std::vector<T>&& values, int width) const
    {
#ifdef VORLAN_MPI
        if (domain)
            return domain->gather_root(cell->get_ids(), values.data(), width);
#endif
        (void)width;
        return std::move(values);
    }
    int division_rank() const { return std::get<0>(division()); }

    // Refuses what a divided box cannot do yet.
    void undivided(const char* what) const
    {
#ifdef VORLAN_MPI
        if (domain)
            throw std::runtime_error(std::string(what) +
                                     " is not available when the box is divided among processes: do it in one process");
#endif
        (void)what;
    }

    void idle() const
    {
        if (stepping)
            throw std::runtime_error("this simulation is running in another thread; wait until its run returns");
    }

    std::shared_ptr<Parameters> params;  // the run's settings, shared with the Cell
    std::unique_ptr<Cell> cell;          // the box
    std::unique_ptr<Run> run_state;      // the step counter, the energy log and the loop
    std::optional<std::uint64_t> seed;   // key of the random numbers of the stochastic methods
    Dynamics dynamics;                   // the integration method and barostat of the steps
    unsigned int nr_particles = 0;       // N, fixed for the life of the box
#ifdef VORLAN_MPI
    std::shared_ptr<MpiDomain> domain;   // the processes sharing the box; null: all of it is here
#endif
    bool running = false;                // a run() is in progress
    bool stepping = false;               // the Cell is stepping with the interpreter lock released
};

std::shared_ptr<Parameters> parameters_from(const Map& entries)
{
    return std::make_shared<Parameters>(entries);
}

// A mixture from Python: types (N,) int32, masses (S,), epsilon, sigma, rcut (S, S);
// shapes are checked here, values by the Cell.
Species species_from(const nb::dict& d, std::size_t n, bool own_potential)
{
    auto item = [&](const char* key) -> nb::handle {
        if (!d.contains(key))
            throw std::invalid_argument(std::string("the mixture has no entry '") + key + "'");
        return d[key];
    };
    Species s;
    const InI1 types = nb::cast<InI1>(item("types"));
    if (types.shape(0) != n) {
        std::ostringstream msg;
        msg << "types has " << types.shape(0) << " entries, but nr_particles = " << n;
        throw std::invalid_argument(msg.str());
    }
    s.types.assign(types.data(), types.data() + n);
    const In1 masses = nb::cast<In1>(item("masses"));
    s.masses.assign(masses.data(), masses.data() + masses.shape(0));
    const std::size_t nt = s.masses.size();
    auto table = [&](const char* key, std::vector<double>& out) {
        const In2 t = nb::cast<In2>(item(key));
        if (t.shape(0) != nt || t.shape(1) != nt) {
            std::ostringstream msg;
            msg << key << " has shape (" << t.shape(0) << ", " << t.shape(1) << "), expected (" << nt << ", " << nt
                << ") for " << nt << " species";
            throw std::invalid_argument(msg.str());
        }
        out.assign(t.data(), t.data() + nt * nt);
    };
    if (d.contains("epsilon") || !own_potential) {  // a potential of the run's may stand instead
        table("epsilon", s.epsilon);
        table("sigma", s.sigma);
        table("rcut", s.rcut);
    }
    return s;
}

vec3 box_from(const In1& b)
{
    if (b.shape(0) != 3)
        throw std::invalid_argument("box must hold three side lengths (Lx, Ly, Lz)");
    return vec3(b.data()[0], b.data()[1], b.data()[2]);
}

CellOptions options_from(std::optional<std::uint64_t> seed, int threads, std::optional<In3> positions,
                         std::optional<In3> velocities, std::optional<In1> box, std::optional<nb::dict> mixture,
                         std::size_t n, std::optional<nb::dict> pair, std::optional<nb::list> fields, bool divided)
{
    CellOptions o;
    o.divided = divided;
    if (fields)
        o.fields = fields_from(*fields);
    if (pair)
        o.potential = potential_from(*pair, "");
    if (box)
        o.box = box_from(*box);
    if (mixture)
        o.species = species_from(*mixture, n, pair.has_value());
    o.threads = threads;
    // a Simulation's global sums do not depend on the order of the particles,
    // which then live in memory in subcell order
    o.exact_sums = true;
    o.sort_particles = true;
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
                                    int threads, std::optional<In3> positions, std::optional<In3> velocities,
                                    std::optional<In1> box, std::optional<nb::dict> mixture,
                                    std::optional<nb::dict> pair, std::optional<nb::list> fields, bool divided)
{
    // N as the engine reads it, for the shape of the types (checked again by the Engine)
    const std::size_t n = mixture ? settings::count(*p, "nr_particles") : 0;
    return std::make_unique<Engine>(p, options_from(seed, threads, std::move(positions), std::move(velocities),
                                                    std::move(box), std::move(mixture), n, std::move(pair),
                                                    std::move(fields), divided));
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

// The integration method's entries of a checkpoint (DynamicsRecord, the
// layout's owner): its name, parameters and state, and the barostat's (names
// and values in two arrays each).
void dynamics_entries(const Dynamics& dyn, nb::dict& d)
{
    auto put = [&](const std::string& prefix, const Numbers& numbers) {
        std::vector<std::string> names;
        std::vector<double> values;
        for (const auto& [k, v] : numbers) {
            names.push_back(k);
            values.push_back(v);
        }
        const std::size_t count = names.size();
        d[(prefix + "_parameter_names").c_str()] = nb::cast(names);
        d[(prefix + "_parameter_values").c_str()] = numpy_array(std::move(values), count, 0);
    };
    DynamicsRecord r = dyn.record();
    d["method"] = r.method;
    put("method", r.method_parameters);
    const std::size_t n = r.method_state.size();
    d["method_state"] = numpy_array(std::move(r.method_state), n, 0);
    if (r.has_barostat) {
        put("barostat", r.barostat_parameters);
        d["barostat_work"] = r.barostat_work;
        d["barostat_start_volume"] = r.barostat_start_volume;
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
    DynamicsRecord r;
    r.method = nb::cast<std::string>(d["method"]);
    r.method_parameters = numbers("method");
    r.method_state = doubles(nb::cast<In1>(d["method_state"]));
    if (d.contains("barostat_parameter_names")) {
        r.has_barostat = true;
        r.barostat_parameters = numbers("barostat");
        r.barostat_work = nb::cast<double>(d["barostat_work"]);
        // checkpoints written before the guard kept it: the volume at the next step
        if (d.contains("barostat_start_volume"))
            r.barostat_start_volume = nb::cast<double>(d["barostat_start_volume"]);
    }
    dyn.restore(r, seed);
}

// A checkpoint's arrays back into a CellState; the rows of three are checked
// here, their number, their values and the neighbour list by the Cell.
CellState state_from(const nb::dict& d)
{
    auto item = [&](const char* key) -> nb::handle {
        if (!d.contains(key))
            throw std::invalid_argument(std::string("the checkpoint has no entry '") + key + "'");
        return d[key];
    };
    auto rows = [&](const char* key) {
        const In3 a = nb::cast<In3>(item(key));
        return vectors(a, a.shape(0), key);
    };
    CellState s;
    s.positions = rows("positions");
    s.velocities = rows("velocities");
    s.forces = rows("forces");
    s.dij_list = rows("dij_list");
    s.positions_initial = rows("positions_initial");
    s.velocities_initial = rows("velocities_initial");
    const InU list = nb::cast<InU>(item("neighbor_list"));
    s.neighbor_list.assign(list.data(), list.data() + list.shape(0));
    const InI3 images = nb::cast<InI3>(item("images"));
    if (images.shape(1) != 3)
        throw std::invalid_argument("images must have shape (nr_particles, 3)");
    s.images.assign(images.data(), images.data() + 3 * images.shape(0));
    s.epot = nb::cast<double>(item("epot"));
    s.ekin = nb::cast<double>(item("ekin"));
    s.etot = nb::cast<double>(item("etot"));
    // checkpoints written before the virial was kept: the Cell evaluates it anew
    s.virial = d.contains("virial") ? nb::cast<double>(d["virial"]) : std::nan("");
    read_box(d, s);
    if (d.contains("types"))
        s.species = species_from(d, s.positions.size(), d.contains("pair_family"));
    if (d.contains("pair_family"))
        s.potential = potential_from(d, "pair_");
    if (d.contains("fields"))
        s.fields = fields_of_rows(nb::cast<In2>(d["fields"]));
    return s;
}


// ---------------------------------------------------------------- settings

std::vector<std::tuple<std::string, std::string>> check(const Map& entries)
{
    std::vector<std::tuple<std::string, std::string>> out;
    for (const SettingProblem& p : check_settings(Parameters(entries)))
        out.emplace_back(p.key, p.message);
    return out;
}

// The value of `key` in `entries`, typed and checked by its rule.
nb::object setting_value(const Map& entries, const std::string& key)
{
    const settings::Rule* rule = settings::find_rule(key);
    if (!rule)
        throw std::invalid_argument("'" + key + "' is not a setting the engine reads");
    const Parameters p(entries);
    if (rule->type == settings::Type::Real)
        return nb::float_(settings::real(p, key));
    return nb::int_(settings::count(p, key));
}

std::optional<std::tuple<std::string, std::string>> parse_line(const nb::bytes& line)
{
    std::string key, value;
    if (!Parameters::parse_line(std::string(line.c_str(), line.size()), key, value))
        return std::nullopt;
    return std::make_tuple(key, value);
}

std::vector<std::tuple<std::string, std::string, std::string, std::string>> rules()
{
    std::vector<std::tuple<std::string, std::string, std::string, std::string>> out;
    for (const settings::Rule& r : settings::rules())
        out.emplace_back(r.key, settings::type_name(r.type), r.range_text, r.meaning);
    return out;
}

// One method kind as a dict: name, summary, stochastic and its parameters
// (name, rule in words, meaning, default or None, required, choices).
nb::dict kind_dict(const MethodKind& k)
{
    nb::dict d;
    d["name"] = k.name;
    d["summary"] = k.summary;
    d["stochastic"] = k.stochastic;
    nb::list params;
    for (const MethodParameter& p : k.parameters) {
        nb::dict q;
        q["name"] = p.name;
        q["rule"] = rule_text(p);
        q["meaning"] = p.meaning;
        q["default"] = p.fallback ? nb::cast(*p.fallback) : nb::none();
        q["required"] = p.required && !p.fallback;
        q["choices"] = nb::cast(p.choices);
        params.append(q);
    }
    d["parameters"] = params;
    return d;
}

nb::list families()
{
    nb::list out;
    for (const PairFamily* f : pair_families()) {
        nb::dict d;
        d["name"] = f->name;
        d["summary"] = f->summary;
        std::vector<std::tuple<std::string, std::string>> params;
        for (const PairParameter& q : f->params)
            params.emplace_back(q.name, q.rule);
        d["parameters"] = params;
        d["modes"] = std::vector<std::string>(f->modes.begin(), f->modes.end());
        d["mixing"] = f->mixing;
        d["tail"] = f->tail != nullptr;
        out.append(d);
    }
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
               std::optional<In3> velocities, std::optional<In1> box, std::optional<nb::dict> mixture,
               std::optional<nb::dict> pair, std::optional<nb::list> fields, bool divided) {
                return make_engine(std::make_shared<Parameters>(path), seed, threads, std::move(positions),
                                   std::move(velocities), std::move(box), std::move(mixture), std::move(pair),
                                   std::move(fields), divided);
            },
            "path"_a, "seed"_a.none(), "threads"_a, "positions"_a.none(), "velocities"_a.none(),
            "box"_a.none() = nb::none(), "mixture"_a.none() = nb::none(), "pair"_a.none() = nb::none(),
            "fields"_a.none() = nb::none(), "divided"_a = false,
            "A box from a parameter file (which must exist), seeded or on the process-wide sequence;\n"
            "box: three sides (default a cube of side cell_length); mixture: dict of types (N,),\n"
            "masses (S,), epsilon, sigma, rcut (S, S) (default one species from the settings); pair: the\n"
            "pair potential as a dict of family, mode, nr_types, values (S x S x P, flat), tail and for\n"
            "tabulated families arrays (a list of S x S arrays r, E, F) (default the settings' LJ); fields: a\n"
            "list of field dicts (vorlan.field). divided: the box is divided among processes next (divide),\n"
            "which builds the list and evaluates the forces of each process's share only.")
        .def_static(
            "from_dict",
            [](const Map& entries, std::optional<std::uint64_t> seed, int threads, std::optional<In3> positions,
               std::optional<In3> velocities, std::optional<In1> box, std::optional<nb::dict> mixture,
               std::optional<nb::dict> pair, std::optional<nb::list> fields, bool divided) {
                return make_engine(parameters_from(entries), seed, threads, std::move(positions),
                                   std::move(velocities), std::move(box), std::move(mixture), std::move(pair),
                                   std::move(fields), divided);
            },
            "entries"_a, "seed"_a.none(), "threads"_a, "positions"_a.none(), "velocities"_a.none(),
            "box"_a.none() = nb::none(), "mixture"_a.none() = nb::none(), "pair"_a.none() = nb::none(),
            "fields"_a.none() = nb::none(), "divided"_a = false,
            "A box from settings given as key -> value text (box, mixture and pair as from_file).")
        .def_static(
            "restore",
            [](const Map& entries, const nb::dict& state, int threads, unsigned int steps, const In1& ekin,
               const In1& epot, const In1& etot, std::optional<std::uint64_t> seed, std::optional<nb::dict> extras,
               unsigned int log_start) {
                EnergyLog log{doubles(ekin), doubles(epot), doubles(etot), {}, {}, {}};
                if (extras) {
                    log.conserved = doubles(nb::cast<In1>((*extras)["conserved"]));
                    log.volume = doubles(nb::cast<In1>((*extras)["volume"]));
                    log.pressure = doubles(nb::cast<In1>((*extras)["pressure"]));
                }
                auto engine = std::make_unique<Engine>(parameters_from(entries), state_from(state), threads, steps,
                                                       std::move(log), seed, log_start);
                dynamics_from(state, seed, engine->dynamics_ref());
                return engine;
            },
            "entries"_a, "state"_a, "threads"_a, "steps"_a, "ekin"_a, "epot"_a, "etot"_a,
            "seed"_a.none() = nb::none(), "log_extras"_a.none() = nb::none(), "log_start"_a = 0,
            "A box restored from checkpoint arrays (see state()), continuing bit for bit.")
        .def("run", &Engine::run, "count"_a, "every"_a = 0, "observer"_a.none() = nb::none(),
             "progress"_a.none() = nb::none(), "terms_every"_a = 0,
             "Advances at most count steps with the interpreter lock released; returns the steps done.\n\n"
             "observer(event, steps_done) is called with event 'start' before the first step, 'every'\n"
             "after each step that makes the steps done a multiple of every (0: never), and 'last'\n"
             "after the last step (also after an interrupt, and after 'every' for the same step).\n"
             "progress(steps_done) is called about every 20 ms. Ctrl-C, or an exception raised by\n"
             "observer or progress, stops the run after the step in progress and is raised then.\n"
             "terms_every: the force loop also gives the virial tensor and per-particle terms on\n"
             "the steps that make the steps done a multiple of it and on the last step (0: never).")
        .def("advance", [](Engine& e, unsigned int count) { return e.run(count, 0, nb::none(), nb::none()); },
             "count"_a, "Advances count steps (run without hooks); returns the steps done.")
        .def_prop_ro("step", &Engine::steps_done, "Steps done.")
        .def("divide", &Engine::divide, "comm"_a, "domains"_a, "keep_list"_a = false,
             "Divides the box among the processes of an MPI communicator (its Fortran handle, comm.py2f());\n"
             "domains: domains per axis, (0, 0, 0) to choose them; keep_list: a restored box goes on\n"
             "with the list it was saved with. Collective.")
        .def_prop_ro("division", &Engine::division, "(rank, ranks, (px, py, pz)) of a divided box.")
        .def("local", &Engine::local, "This process's own particles: ids, positions, velocities, forces, images, ghosts.")
        .def("edit", &Engine::edit, "positions"_a.none(), "velocities"_a.none(), "box"_a.none(), "min_distance"_a,
             "Replaces positions, velocities and/or the box (None keeps one) with the checks of a start;\n"
             "the list is built anew and the forces evaluated; pairs closer than min_distance of their\n"
             "sigma are refused (0: no check). A refused edit leaves the box as it was.")
        .def("minimize", &Engine::minimize, "settings"_a,
             "FIRE 2.0 on the positions, settings by name (fmax, max_steps, dt_start, dt_max, dt_min,\n"
             "max_move, delay, max_uphill, f_inc, f_dec, alpha_start, f_alpha); returns a dict of\n"
             "energy, fmax, steps, converged and reason.")
        .def("start_at", &Engine::start_at, "steps"_a,
             "Counts `steps` as done before the first step of this box (its log starts after them).")
        .def_prop_ro("log_start", &Engine::log_start, "Steps done before the first entry of the log.")
        .def_prop_ro("conserved", &Engine::conserved,
                     "The conserved quantity of the method: etot plus the thermostat's and barostat's terms.")
        .def("log_extras", &Engine::log_extras,
             "Log of conserved, volume and pressure (NaN where no barostat measured it), one entry per step.")
        .def("set_dynamics", &Engine::set_dynamics, "method"_a, "parameters"_a, "barostat"_a.none(),
             "The integration method of the next steps (one of method_kinds()) with its parameters, and\n"
             "the barostat's parameters or None; their state starts afresh.")
        .def_prop_ro("dynamics", &Engine::get_dynamics,
                     "(method name, its parameters, barostat parameters or None).")
        .def_prop_ro("nr_particles", &Engine::particles, "Number of particles N.")
        .def_prop_ro("threads", &Engine::threads,
                     "Most threads the parallel loops use (one while other processes keep the cores busy).")
        .def_prop_ro("box", &Engine::box, "Box edge lengths (Lx, Ly, Lz).")
        .def_prop_ro("ekin", &Engine::ekin, "Kinetic energy.")
        .def_prop_ro("epot", &Engine::epot, "Potential energy.")
        .def_prop_ro("etot", &Engine::etot, "Total energy.")
        .def_prop_ro("virial", &Engine::virial, "Virial W = sum over pairs within rcut of r_ij . F_ij.")
        .def_prop_ro("virial_tensor", &Engine::virial_tensor,
                     "Virial tensor (xx, yy, zz, xy, xz, yz): sum over pairs of r_ij (x) F_ij (tail on the diagonal).")
        .def_prop_ro("kinetic_tensor", &Engine::kinetic_tensor,
                     "Kinetic tensor (xx, yy, zz, xy, xz, yz): sum over particles of m v_a v_b.")
        .def_prop_ro("particle_energies", &Engine::particle_energies, nb::rv_policy::move,
                     "Per-particle potential energy (N,): half of each of its pairs' energies.")
        .def_prop_ro("particle_virials", &Engine::particle_virials, nb::rv_policy::move,
                     "Per-particle virial (N, 6): xx yy zz xy xz yz of half of each of its pairs' r_ij (x) F_ij.")
        .def_prop_ro("pair_potential", &Engine::pair_potential,
                     "The pair potential: dict of family, mode, nr_types, values (S x S x P, flat), tail; None for\n"
                     "the truncated and shifted Lennard-Jones of the settings.")
        .def_prop_ro("fields", &Engine::field_rows_of_run,
                     "The external fields (F, 10): kind (0 constant, 1 wall), style (0 lj93, 1 harmonic), axis,\n"
                     "fx, fy, fz, epsilon, sigma, k, rcut.")
        .def_prop_rw("exact_sums", &Engine::exact_sums, &Engine::set_exact_sums,
                     "Whether the global sums are exact, the same bits in any order of the terms (else chained in "
                     "particle order); sorting the particles needs them.")
        .def_prop_rw("sort_particles", &Engine::sort_particles, &Engine::set_sort_particles,
                     "Whether the particles live in memory in subcell order (sorted at list builds); the "
                     "results are the same bits either way.")
        .def("set_pair_terms", &Engine::set_pair_terms, "on"_a,
             "Whether every force evaluation also gives the virial tensor and per-particle terms.")
        .def_prop_ro("types", &Engine::types, nb::rv_policy::move,
                     "Type of each particle (N,), int32: an index into the mixture's species (all 0 for one).")
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
            "The arrays a checkpoint needs to continue bit for bit (the method's state included).");

    m.def("check_settings", &check, "entries"_a,
          "Checks settings given as key -> value text by every single-key and cross-key rule,\n"
          "without running anything. Returns a list of (key, message), empty when all is well.");
    m.def("read_parameter_file",
          [](const std::string& path) { return Parameters(path).entries(); }, "path"_a,
          "The settings of a parameter file as the engine reads them: key -> value text of every\n"
          "line that matches as a whole, the first occurrence of a key winning.");
    m.def("parse_parameter_line", &parse_line, "line"_a,
          "(key, value text) when the engine keeps this line of a parameter file (bytes, without\n"
          "its line feed), else None.");
    m.def("setting_value", &setting_value, "entries"_a, "key"_a,
          "The value of one setting of a set given as key -> value text, converted to its type\n"
          "(int or float) and checked by its rule, as the engine reads it.");
    m.def("check_threads", &checked_team_size, "threads"_a,
          "threads when it is a team size the engine allows: 0 (the runtime default) or 1 to\n"
          "max_threads(); ValueError otherwise, RuntimeError when that many threads cannot be\n"
          "started side by side here.");
    m.def("list_build_seconds", &list_clock::seconds,
          "Wall time this process has spent building neighbour lists so far, all simulations together\n"
          "(for the list build's share of a run: the difference over the run, over its time).");
    m.def("kernels", [] { return std::string(kernels::kernel_set_name(kernels::kernel_set())); },
          "The instruction set of the pair loops and list builds: 'avx512', 'avx2' or 'scalar', the best\n"
          "this CPU runs unless the environment variable VORLAN_KERNELS (auto, avx512, avx2, scalar)\n"
          "named another when the module loaded; ValueError for a name that is not a set or a set the\n"
          "CPU lacks.");
    m.def("max_threads", &max_team_size,
          "The largest team allowed: 4 threads per processor, within the OpenMP thread limit.");
    m.def("pair_families", &families,
          "The pair potentials: a list of dicts with name, summary (the formula), parameters (a list\n"
          "of (name, rule)), modes (the first the default), mixing ('lorentz-berthelot' or 'explicit')\n"
          "and tail (whether mode 'none' has an analytic tail correction).");
    m.def(
        "check_pair", [](const nb::dict& d) { build_pair_table(potential_from(d, "")); }, "pair"_a,
        "Checks a pair potential dict (as Engine.from_dict's pair) by the engine's rules; ValueError\n"
        "naming the parameter and pair at fault.");
    m.def(
        "field_kinds",
        [] {
            nb::list out;
            for (const FieldKind& k : field_kinds()) {
                nb::dict d;
                d["name"] = k.name;
                d["summary"] = k.summary;
                d["parameters"] = nb::cast(k.parameters);
                out.append(d);
            }
            return out;
        },
        "The external field kinds: a list of dicts with name, summary (the energy) and parameters.");
    m.def(
        "method_kinds",
        [] {
            nb::list out;
            for (const MethodKind* k : method_kinds())
                out.append(kind_dict(*k));
            return out;
        },
        "The integration methods, the default first: a list of dicts with name, summary, stochastic\n"
        "(needs a seed) and parameters (a list of dicts of name, rule, meaning, default (None: none),\n"
        "required and choices).");
    m.def("barostat_kind", [] { return kind_dict(barostat_kind()); },
          "The barostat's entry, as one of method_kinds (couple given as the index of its choice).");
    m.def(
        "check_method",
        [](const std::string& name, const Numbers& parameters) { make_method(name, parameters); }, "name"_a,
        "parameters"_a, "Checks a method's parameters by the engine's rules; ValueError naming the one at fault.");
    m.def(
        "check_barostat", [](const Numbers& parameters) { make_barostat(parameters); }, "parameters"_a,
        "Checks the barostat's parameters by the engine's rules; ValueError naming the one at fault.");
    m.def("setting_rules", &rules,
          "The rules of all settings: a list of (key, type name, allowed range, meaning).");
}
