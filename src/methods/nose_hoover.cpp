#include "nose_hoover.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

namespace {

// The chain length M, an integer from 1 to 1000; refused with its own value, also
// when it is not an integer.
int chain_length(double value)
{
    if (!(value >= 1.0 && value <= 1000.0 && value == static_cast<double>(static_cast<int>(value)))) {
        std::ostringstream msg;
        msg << "chain = " << value << " is not allowed: the chain has 1 to 1000 thermostats";
        throw std::invalid_argument(msg.str());
    }
    return static_cast<int>(value);
}

}  // namespace

NoseHoover::NoseHoover(double tau_, int chain_)
    : tau(positive("tau", tau_, "thermostat period")), chain(chain_length(chain_))
{
    xi.assign(static_cast<std::size_t>(chain), 0.0);
    p.assign(static_cast<std::size_t>(chain), 0.0);
}

std::vector<double> NoseHoover::masses(const StepContext& ctx) const
{
    if (!(ctx.kT > 0.0) || !(ctx.dof > 0.0)) {
        std::ostringstream msg;
        msg << "kT = " << ctx.kT << " is not allowed with the Nose-Hoover thermostat at " << ctx.dof
            << " degrees of freedom: its masses Nf kT tau^2 must be positive (kT > 0, at least 2 particles)";
        throw std::invalid_argument(msg.str());
    }
    std::vector<double> q(p.size(), ctx.kT * tau * tau);
    q[0] = ctx.dof * q[0];
    if (!std::isfinite(q[0])) {
        std::ostringstream msg;
        msg << "tau = " << tau << " is not allowed with kT = " << ctx.kT << " at " << ctx.dof
            << " degrees of freedom: the chain's first mass Nf kT tau^2 = " << q[0] << " must be finite";
        throw std::invalid_argument(msg.str());
    }
    return q;
}

void NoseHoover::check(const StepStages&, const StepContext& ctx) const
{
    if (ctx.dt > tau) {
        std::ostringstream msg;
        msg << "tau = " << tau << " is not allowed with stepsize = " << ctx.dt
            << ": the Nose-Hoover thermostat period must not be shorter than the time step";
        throw std::invalid_argument(msg.str());
    }
    masses(ctx);
}

// The chain over h = dt/2: the last velocity kicked by its force over h/2, the
// others from the end of the chain to its start, each scaled by the next one's
// friction over h/4 before and after its kick; then the particles' velocities
// scaled by exp(-p1 h) and the positions advanced by h; then the same kicks in
// the opposite order.
void NoseHoover::half_chain(StepStages& stages, const StepContext& ctx)
{
    const double h = 0.5 * ctx.dt;
    const std::vector<double> q = masses(ctx);
    const std::size_t m = p.size();
    double twice_K = 2.0 * stages.ekin();
    auto force = [&](std::size_t j) {
        return j == 0 ? (twice_K - ctx.dof * ctx.kT) / q[0] : (q[j - 1] * p[j - 1] * p[j - 1] - ctx.kT) / q[j];
    };
    auto kick = [&](std::size_t j) {
        const double damp = j + 1 < m ? std::exp(-0.25 * h * p[j + 1]) : 1.0;
        p[j] *= damp;
        p[j] += 0.5 * h * force(j);
        p[j] *= damp;
    };

    for (std::size_t j = m; j-- > 0;)
        kick(j);
    const double scale = std::exp(-h * p[0]);
    stages.scale_velocities(scale);
    twice_K = 2.0 * stages.ekin();
    for (std::size_t j = 0; j < m; ++j)
        xi[j] += h * p[j];
    for (std::size_t j = 0; j < m; ++j)
        kick(j);
    check_finite(ctx, q, 0.5 * twice_K);
}

// A chain far stiffer than the system (kT or tau tiny against the kinetic energy
// it must remove) drives its momenta beyond the range of a double within a few
// steps; that is reported at the step, before the conserved quantity is lost.
void NoseHoover::check_finite(const StepContext& ctx, const std::vector<double>& q, double ekin) const
{
    for (std::size_t j = 0; j < p.size(); ++j) {
        if (std::isfinite(p[j]) && std::isfinite(xi[j]) && std::isfinite(0.5 * q[j] * p[j] * p[j]))
            continue;
        std::ostringstream msg;
        msg << "the Nose-Hoover chain diverged at step " << ctx.count() << ": thermostat " << j + 1
            << " has momentum " << p[j] << " and position " << xi[j] << " with tau = " << tau << " and kT = " << ctx.kT
            << "; the chain is too stiff for a kinetic energy of " << ekin
            << " (target Nf kT / 2 = " << 0.5 * ctx.dof * ctx.kT << "): raise kT or tau";
        throw std::range_error(msg.str());
    }
}

double NoseHoover::extra_energy(const StepContext& ctx) const
{
    const std::vector<double> q = masses(ctx);
    double e = 0.0;
    for (std::size_t j = 0; j < p.size(); ++j)
        e += 0.5 * q[j] * p[j] * p[j] + (j == 0 ? ctx.dof : 1.0) * ctx.kT * xi[j];
    return e;
}

const MethodKind& NoseHoover::kind()
{
    static const MethodKind k{"nose_hoover", "Nose-Hoover chain around velocity Verlet (Trotter splitting)",
                              {{"tau", ParameterRule::positive, "thermostat period", std::nullopt, true, {}},
                               {"chain", ParameterRule::count, "number of thermostats in the chain", 3.0, true, {}}},
                              false};
    return k;
}

NoseHoover NoseHoover::make(const Numbers& p) { return NoseHoover(p.at("tau"), chain_length(p.at("chain"))); }

Numbers NoseHoover::parameters() const { return {{"tau", tau}, {"chain", static_cast<double>(chain)}}; }

// xi, then p
std::vector<double> NoseHoover::state() const
{
    std::vector<double> s(xi);
    s.insert(s.end(), p.begin(), p.end());
    return s;
}

void NoseHoover::restore(const std::vector<double>& s)
{
    const auto m = static_cast<long>(xi.size());
    xi.assign(s.begin(), s.begin() + m);
    p.assign(s.begin() + m, s.end());
}
