// The pair potentials: each evaluator's energy against its formula and its
// force against the slope of its energy, the modes at the cut-off, and the
// per-particle terms and the virial tensor of a whole Cell.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <map>

#include "potential_cases.h"
#include "support.h"

namespace {

// u(r) of a family's parameters as written in the textbooks (no cut-off).
double textbook(const std::string& family, const std::vector<double>& v, double r)
{
    if (family == "lj" || family == "wca")
        return 4.0 * v[0] * (std::pow(v[1] / r, 12) - std::pow(v[1] / r, 6));
    if (family == "mie") {
        const double n = v[2], m = v[3], c = n / (n - m) * std::pow(n / m, m / (n - m));
        return c * v[0] * (std::pow(v[1] / r, n) - std::pow(v[1] / r, m));
    }
    if (family == "yukawa")
        return v[0] * std::exp(-v[1] * r) / r;
    if (family == "morse")
        return v[0] * (std::exp(-2.0 * v[1] * (r - v[2])) - 2.0 * std::exp(-v[1] * (r - v[2])));
    return (2.5 - r) * (2.5 - r);  // the soft table
}

// The energy and force magnitude (F > 0: repulsive) of the one-type pair at r.
struct PairAt {
    double u, f;
};

PairAt evaluate(const PairPotential& p, double r)
{
    const PairTable t = build_pair_table(p);
    const PairFamily& f = pair_family(p.family);
    double params[PairTable::max_params];
    for (std::size_t k = 0; k < t.nr_params; ++k)
        params[k] = t.params[k][0];
    double e, w;
    (p.mode == "force_shift" ? f.reduced_force_shifted : f.reduced)(params, t.data.data(), r * r, e, w);
    return {e * t.energy_scale[0], w * t.force_scale[0] / r};
}

}  // namespace

// Energies to 1e-12 of the formula (less the value at rc when shifted, less the
// linear term when force-shifted), forces to 1e-6 of a central difference of
// the energy, and the modes' zeros at the cut-off.
TEST(Potentials, EnergyFollowsTheFormulaAndForceItsSlope)
{
    for (const PotentialCase& c : potential_cases()) {
        const PairPotential p = potential_of(c, 1);
        const double rc = std::sqrt(build_pair_table(p).rcutsq[0]);
        const std::vector<double> v = c.values.empty() ? std::vector<double>{0.0} : c.values;
        const double h = 1e-5;
        const double uc = textbook(c.family, v, rc);
        const double fc = -(textbook(c.family, v, rc + h) - textbook(c.family, v, rc - h)) / (2.0 * h);
        for (const double r : {0.93, 1.05, 1.12, 1.5, 1.95}) {
            if (r >= rc)
                continue;
            const std::string where = c.family + " " + c.mode + " at r = " + std::to_string(r);
            double want = textbook(c.family, v, r);
            if (c.mode == "shift") {
                want -= uc;
            } else if (c.mode == "force_shift") {
                want += (r - rc) * fc - uc;
            }
            const PairAt at = evaluate(p, r);
            EXPECT_NEAR(at.u, want, 1e-9 * std::max(1.0, std::abs(want))) << where;
            const double slope = -(evaluate(p, r + h).u - evaluate(p, r - h).u) / (2.0 * h);
            EXPECT_NEAR(at.f, slope, 1e-6 * std::max(1.0, std::abs(slope))) << where;
        }
        const PairAt edge = evaluate(p, rc * (1.0 - 1e-12));
        if (c.mode != "none") {
            EXPECT_NEAR(edge.u, 0.0, 1e-9) << c.family << " " << c.mode << ": energy at the cut-off";
        }
        if (c.mode == "force_shift") {
            EXPECT_NEAR(edge.f, 0.0, 1e-9) << c.family << ": force at the cut-off";
        }
    }
}

// Bad input names the parameter, the pair or the mode.
TEST(Potentials, RefusesWhatBreaksARule)
{
    const std::map<std::string, std::function<void(PairPotential&)>> breaks = {
        {"epsilon", [](PairPotential& p) { p.values[0] = -1.0; }},
        {"mode 'cubic'", [](PairPotential& p) { p.mode = "cubic"; }},
        {"'gauss' is not known", [](PairPotential& p) { p.family = "gauss"; }},
        {"differ from those", [](PairPotential& p) { p.values[3] = 2.0; }},
        {"tail_correction", [](PairPotential& p) { p.tail_correction = true; }},
    };
    for (const auto& [needle, spoil] : breaks) {
        PairPotential p = potential_of({"lj", "shift", {1.0, 1.0, 2.5}}, 2);
        spoil(p);
        try {
            build_pair_table(p);
            ADD_FAILURE() << needle << ": accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(needle), std::string::npos) << e.what();
        }
    }
    PairPotential mie = potential_of({"mie", "shift", {1.0, 1.0, 6.0, 7.0, 2.5}}, 1);
    EXPECT_THROW(build_pair_table(mie), std::invalid_argument);  // n <= m
    PairPotential coarse = potential_of({"table", "none", {}}, 1);
    std::vector<double>& t = coarse.arrays[0];
    const std::size_t n = t.size() / 3;
    t[n + n / 2] += 0.5;  // one energy off the integral of the force
    EXPECT_THROW(build_pair_table(coarse), std::invalid_argument);
}

// A 500-particle liquid of two types: the per-particle energies sum to epot,
// the tensor's trace is the virial W, and the tensor and the per-particle terms
// have the same bits on one and two threads; the forces are those of a run
// that does not ask for them.
TEST(Potentials, PerParticleTermsAddUpAndDoNotDependOnTheThreadCount)
{
    for (const PotentialCase& c : {potential_cases()[1], potential_cases()[6], potential_cases()[10]}) {
        const std::size_t n = 500;
        std::mt19937_64 rng(7);
        std::uniform_real_distribution<double> u(0.0, 8.5);
        CellOptions o;
        o.positions.resize(n);
        for (auto& x : o.positions)
            x = vec3(u(rng), u(rng), u(rng));
        for (std::size_t i = 1; i < n; ++i)  // no overlaps closer than 0.8
            for (std::size_t j = 0; j < i; ++j) {
                vec3 d = o.positions[i] - o.positions[j];
                for (int k = 0; k < 3; ++k)
                    d[k] -= 8.5 * std::round(d[k] / 8.5);
                if (d.norm() < 0.8) {
                    o.positions[i] = vec3(u(rng), u(rng), u(rng));
                    j = static_cast<std::size_t>(-1);
                }
            }
        o.species.types.resize(n);
        for (std::size_t i = 0; i < n; ++i)
            o.species.types[i] = static_cast<std::int32_t>(i % 2);
        o.species.masses = {1.0, 2.0};
        o.potential = potential_of(c, 2);
        o.potential.tail_correction = c.family == "lj" && c.mode == "none";
        const auto params = lj_params("nr_particles = 500\ncell_length = 8.5\n");
        Cell plain(params, o);
        o.pair_terms = true;
        Cell cell(params, o);
        const std::string where = c.family + " " + c.mode;
        for (std::size_t i = 0; i < n * 3; ++i)
            ASSERT_EQ(plain.get_forces()[i], cell.get_forces()[i]) << where;
        double sum = 0.0;
        for (const double e : cell.particle_energies())
            sum += e;
        EXPECT_NEAR(sum, cell.get_epot(), 1e-11 * std::abs(cell.get_epot())) << where;
        const double* w = cell.virial_tensor();
        EXPECT_NEAR(w[0] + w[1] + w[2], cell.virial(), 1e-11 * std::abs(cell.virial())) << where;
        const std::vector<double> tensor(w, w + 6), energies = cell.particle_energies(),
                                  virials = cell.particle_virials();
        for (int threads : {1, 2}) {
            ThreadCount use(threads);
            cell.set_threads(threads);
            CellTestAccess::calculate_forces(cell);
            EXPECT_EQ(std::memcmp(cell.virial_tensor(), tensor.data(), 6 * sizeof(double)), 0) << where;
            EXPECT_EQ(cell.particle_energies(), energies) << where;
            EXPECT_EQ(cell.particle_virials(), virials) << where;
        }
    }
}
