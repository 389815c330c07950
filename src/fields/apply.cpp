// The external fields of the force terms: their forces and energies after the
// pair loop, and the walls' closing of their axes.
//
// Each particle's field terms are its own (no sums across particles), so the
// forces are thread-count independent by construction; the energies are kept
// per particle and summed in particle order afterwards, which keeps epot so too.
#include "force_terms.h"
#include "exact_sum.h"
#include "parallel.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

void ForceTerms::set_fields(const std::vector<Field>& given, const vec3& dims)
{
    walls[0] = walls[1] = walls[2] = false;
    for (const Field& f : given) {
        check_field(f, dims);
        if (f.kind == "wall")
            walls[f.axis] = true;
    }
    fields = given;
}

vec3 ForceTerms::image_box(const vec3& dims) const
{
    // A walled axis gets a box three times its length for the minimum image and
    // the subcell grid: every separation within [0, L] stays below half of it, so
    // no pair is imaged, and the empty two thirds keep the grid from connecting
    // the two walls (the cut-off is at most L / 2).
    vec3 b = dims;
    for (int k = 0; k < 3; ++k)
        if (walls[k])
            b[k] = 3.0 * dims[k];
    return b;
}

double ForceTerms::apply_fields(ParticleState& p, const ForceContext& c)
{
    const vec3& dims = c.dims;
    const std::size_t n = p.size();
    field_energies.resize(n);
    const long long count = static_cast<long long>(n);
    std::vector<FieldForm> forms;
    for (const Field& f : fields)
        forms.push_back(field_form(f));
    const std::size_t nr_fields = fields.size();
#pragma omp parallel for schedule(static) num_threads(c.team)
    for (long long i = 0; i < count; ++i) {
        double e = 0.0;
        for (std::size_t k = 0; k < nr_fields; ++k)
            e += forms[k] == FieldForm::constant
                     ? constant_field(fields[k], p.positions[i], p.images.data() + 3 * i, dims, p.forces[i])
                     : wall_field(fields[k], forms[k], p.positions[i], dims, p.forces[i]);
        field_energies[i] = e;
    }
    double sum = 0.0;
    if (c.exact) {
        ExactSum total;
        for (std::size_t i = 0; i < n; ++i)
            total.add(field_energies[i]);
        c.reduce(&total, 1);
        sum = total.value();
    } else {
        for (std::size_t i = 0; i < n; ++i)
            sum += field_energies[i];
    }
    return sum;
}

void ForceTerms::check_inside_walls(const ParticleState& p, const vec3& dims, unsigned long long step) const
{
    // a particle outside [0, L] of a walled axis has passed its wall: the step
    // that took it there was too large for the wall's stiffness
    for (std::size_t i = 0; i < p.size(); ++i)
        for (int k = 0; k < 3; ++k) {
            const double x = p.positions[i][k];
            if (walls[k] && !(x > 0.0 && x < dims[k])) {
                std::ostringstream msg;
                msg << "particle " << p.ids[i] << " passed the wall at " << "xyz"[k] << " = " << (x <= 0.0 ? 0.0 : dims[k])
                    << " in step " << step << " (" << "xyz"[k] << " = " << x
                    << "): the time step is too large for the wall";
                throw std::range_error(msg.str());
            }
        }
}

void ForceTerms::check_given_within_walls(const std::vector<vec3>& given, const vec3& box) const
{
    // given positions (a start, an edit) must lie between the walls of box `box`
    for (const Field& f : fields)
        check_field(f, box);
    for (std::size_t i = 0; i < given.size(); ++i)
        for (int k = 0; k < 3; ++k)
            if (walls[k] && !(given[i][k] > 0.0 && given[i][k] < box[k])) {
                std::ostringstream msg;
                msg << "position " << i << " has " << "xyz"[k] << " = " << given[i][k] << ", outside the walls at 0 and "
                    << box[k];
                throw std::invalid_argument(msg.str());
            }
}
