// Truncated and shifted Lennard-Jones forces and potential energy.
//
//   u(r) = 4 eps [ (s/r)^12 - (s/r)^6 - ((s/rc)^12 - (s/rc)^6) ]   for r < rc
//   F_i  = 24 eps sum_j [ 2 (s/r)^12 - (s/r)^6 ] / r^2 * r_ij
//
// Only r^2 is needed: (s/r)^6 and (s/r)^12 come from (s/r)^2 by multiplication.
// The list is full, so every pair is met twice: each particle sums its own force
// in list order (no atomics, results independent of the thread count) and the
// energy sum counts each pair twice, which the final factor 0.5 undoes.
#include "cell.h"

void Cell::calculate_forces()
{
    const std::size_t nr_particles = particle_count();
    const double rcut = params->get_param<double>("rcut");
    const double rcutsq = rcut * rcut;
    const double sigma = params->get_param<double>("sigma");
    const double sigmasq = sigma * sigma;
    epot = 0.0;

    // energy shift that makes each pair term vanish at the cut-off
    double sr2 = sigmasq / rcutsq;
    double sr6 = (sr2 * sr2) * sr2;
    double sr12 = sr6 * sr6;
    const double epot_cutoff = sr12 - sr6;

    for (std::size_t i = 0; i < nr_particles; ++i)
        forces[i] = vec3(0.0, 0.0, 0.0);

    double epotsum = 0.0;
    const vec3 half = 0.5 * dims;
    const long long count = static_cast<long long>(nr_particles);

#pragma omp parallel for schedule(static) reduction(+ : epotsum) private(sr2, sr6, sr12)
    for (long long ii = 0; ii < count; ++ii) {
        const unsigned int i = static_cast<unsigned int>(ii);
        for (std::size_t n = neighbor_list[i]; neighbor_list[n] != i; ++n) {
            const unsigned int j = neighbor_list[n];
            double r[3];
            for (int k = 0; k < 3; ++k) {
                r[k] = positions[i][k] - positions[j][k];
                if (r[k] >= half[k])
                    r[k] -= dims[k];
                else if (r[k] < -half[k])
                    r[k] += dims[k];
            }
            const double distsq = r[0] * r[0] + (r[1] * r[1] + r[2] * r[2]);
            if (distsq < rcutsq) {
                sr2 = sigmasq / distsq;
                sr6 = (sr2 * sr2) * sr2;
                sr12 = sr6 * sr6;
                epotsum += (sr12 - sr6) - epot_cutoff;
                const double fr = ((sr12 + sr12) - sr6) / distsq;
                forces[i][0] += fr * r[0];
                forces[i][1] += fr * r[1];
                forces[i][2] += fr * r[2];
            }
        }
    }

    // 24 eps on the forces and 4 eps / 2 on the energy, once each, outside the pair loop
    const double epsilon = params->get_param<double>("epsilon");
    const double prefctr = 24.0 * epsilon;
    for (std::size_t i = 0; i < nr_particles; ++i)
        forces[i] *= prefctr;
    epot = ((epotsum * 4.0) * epsilon) * 0.5;
}
