// The registry of pair-potential families and the tables of a potential.
#include "pair_potential.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

namespace potentials {
const PairFamily& lj_family();
const PairFamily& wca_family();
const PairFamily& mie_family();
const PairFamily& yukawa_family();
const PairFamily& morse_family();
const PairFamily& table_family();
}  // namespace potentials

const std::vector<const PairFamily*>& pair_families()
{
    // one line per family (potentials/*.cpp)
    static const std::vector<const PairFamily*> all = {
        &potentials::lj_family(),     &potentials::wca_family(),   &potentials::mie_family(),
        &potentials::yukawa_family(), &potentials::morse_family(), &potentials::table_family(),
    };
    return all;
}

const PairFamily& pair_family(const std::string& name)
{
    std::ostringstream known;
    for (const PairFamily* f : pair_families()) {
        if (name == f->name)
            return *f;
        known << (known.tellp() > 0 ? ", " : "") << f->name;
    }
    throw std::invalid_argument("pair potential '" + name + "' is not known: the families are " + known.str());
}

namespace {

std::string pair_name(std::size_t a, std::size_t b)
{
    std::ostringstream s;
    s << "the pair of types (" << a << ", " << b << ")";
    return s.str();
}

void check_mode(const PairFamily& f, const PairPotential& p)
{
    for (const char* m : f.modes)
        if (p.mode == m)
            return;
    std::ostringstream msg;
    msg << "mode '" << p.mode << "' is not allowed for the " << f.name << " potential: use";
    for (const char* m : f.modes)
        msg << " '" << m << "'";
    throw std::invalid_argument(msg.str());
}

}  // namespace

PairTable build_pair_table(const PairPotential& p)
{
    const PairFamily& f = pair_family(p.family);
    check_mode(f, p);
    const std::size_t s = p.nr_types, np = f.params.size();
    if (s == 0 || p.values.size() != s * s * np || (!p.arrays.empty() && p.arrays.size() != s * s)) {
        std::ostringstream msg;
        msg << "the " << f.name << " potential needs " << np << " parameters for each of " << s * s
            << " pairs of types, got " << p.values.size();
        throw std::invalid_argument(msg.str());
    }
    if (p.tail_correction && (!f.tail || p.mode != "none"))
        throw std::invalid_argument(std::string("tail_correction is allowed only with mode 'none' of a potential "
                                                "with an analytic tail (lj, mie), not with ") +
                                    f.name + " mode '" + p.mode + "'");
    const bool force_shift = p.mode == "force_shift";
    PairTable t;
    t.resize(s, static_cast<std::size_t>(f.nr_params + (force_shift ? 3 : 0)));
    for (std::size_t a = 0; a < s; ++a)
        for (std::size_t b = 0; b < s; ++b) {
            const std::size_t ab = a * s + b, ba = b * s + a;
            const double* v = p.values.data() + ab * np;
            const std::vector<double>* array = p.arrays.empty() ? nullptr : &p.arrays[ab];
            f.check(v, array, pair_name(a, b));
            bool same = (array ? *array == p.arrays[ba] : true);
            for (std::size_t k = 0; k < np; ++k)
                same = same && v[k] == p.values[ba * np + k];
            if (!same)
                throw std::invalid_argument("the parameters of " + pair_name(a, b) + " differ from those of " +
                                            pair_name(b, a) + ": give the same for both");
            PairCoefficients c;
            f.coefficients(v, array, c, t.data);
            if (f.shift_param >= 0 && p.mode != "none") {
                double e, w;
                c.params[f.shift_param] = 0.0;
                f.reduced(c.params, t.data.data(), c.rcut * c.rcut, e, w);
                c.params[f.shift_param] = e;
                if (force_shift) {
                    const double energy_scale = c.energy_factors[0] * c.energy_factors[1];
                    c.params[f.nr_params] = c.rcut;
                    c.params[f.nr_params + 1] = w / c.rcut;
                    c.params[f.nr_params + 2] = (w / c.rcut) * (c.force_scale / energy_scale);
                }
            }
            for (std::size_t k = 0; k < t.nr_params; ++k)
                t.params[k][ab] = c.params[k];
            t.rcutsq[ab] = c.rcut * c.rcut;
            t.rcut[ab] = c.rcut;
            t.energy_scale[ab] = c.energy_factors[0] * c.energy_factors[1];
            t.force_scale[ab] = c.force_scale;
            if (ab == 0) {
                t.energy_factors[0] = c.energy_factors[0];
                t.energy_factors[1] = c.energy_factors[1];
            }
            t.rcut_max = std::max(t.rcut_max, c.rcut);
        }
    return t;
}

const kernels::PairKernels& pair_kernels_of(const PairPotential& p)
{
    const PairFamily& f = pair_family(p.family);
    return p.mode == "force_shift" ? f.force_shifted : f.plain;
}

TailTerms pair_tail(const PairPotential& p, const std::vector<double>& counts, double volume)
{
    TailTerms t;
    if (!p.tail_correction)
        return t;
    const PairFamily& f = pair_family(p.family);
    const std::size_t s = p.nr_types, np = f.params.size();
    const double pi = 3.14159265358979323846;
    for (std::size_t a = 0; a < s; ++a)
        for (std::size_t b = 0; b < s; ++b) {
            const std::size_t ab = a * s + b;
            PairCoefficients c;
            std::vector<double> unused;
            f.coefficients(p.values.data() + ab * np, nullptr, c, unused);
            double energy, virial;
            f.tail(p.values.data() + ab * np, c.rcut, energy, virial);
            const double pairs = counts[a] * counts[b];
            t.energy += pairs * energy;
            t.virial -= pairs * virial;
        }
    t.energy *= 2.0 * pi / volume;
    t.virial *= 2.0 * pi / volume;
    return t;
}
