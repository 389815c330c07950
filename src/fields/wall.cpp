// Walls at 0 and L of one axis; r is the distance to each wall and the force
// -du/dr pushes away from it.
#include "fields/field.h"

namespace {

// u(r) and -du/dr of one wall for r < rc.
double wall_term(const Field& f, FieldForm form, double r, double& push)
{
    if (form == FieldForm::harmonic_wall) {
        const double d = r - f.rcut;
        push = -2.0 * f.k * d;
        return f.k * d * d;
    }
    // lj93, shifted to zero at rc
    const double s3 = (f.sigma / r) * (f.sigma / r) * (f.sigma / r);
    const double s9 = s3 * s3 * s3;
    const double c3 = (f.sigma / f.rcut) * (f.sigma / f.rcut) * (f.sigma / f.rcut);
    const double c9 = c3 * c3 * c3;
    push = f.epsilon * (1.2 * s9 - 3.0 * s3) / r;
    return f.epsilon * ((2.0 / 15.0) * s9 - s3) - f.epsilon * ((2.0 / 15.0) * c9 - c3);
}

}  // namespace

FieldForm field_form(const Field& f)
{
    if (f.kind == "constant")
        return FieldForm::constant;
    return f.style == "harmonic" ? FieldForm::harmonic_wall : FieldForm::lj93_wall;
}

double wall_field(const Field& f, FieldForm form, const Eigen::Vector3d& x, const Eigen::Vector3d& box,
                  Eigen::Vector3d& force)
{
    const int a = f.axis;
    const double lo = x[a], hi = box[a] - x[a];
    double e = 0.0, push = 0.0;
    if (lo < f.rcut) {
        e += wall_term(f, form, lo, push);
        force[a] += push;
    }
    if (hi < f.rcut) {
        e += wall_term(f, form, hi, push);
        force[a] -= push;
    }
    return e;
}
