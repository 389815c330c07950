// The field kinds and their rules: the one list Python's vorlan.field and the
// system files derive from. A new kind adds its entry here and a branch in
// Cell::apply_fields (fields.cpp in src/).
#include "fields/field.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

const std::vector<FieldKind>& field_kinds()
{
    static const std::vector<FieldKind> kinds = {
        {"constant", "u = -F . x (x unwrapped)", {"force"}},
        {"wall", "lj93: u = eps [2/15 (s/r)^9 - (s/r)^3] - u(rcut); harmonic: u = k (r - rcut)^2, r < rcut",
         {"axis", "kind", "epsilon", "sigma", "rcut", "k"}},
    };
    return kinds;
}

namespace {

void require(bool ok, const std::string& what, double value, const std::string& allowed)
{
    if (ok)
        return;
    std::ostringstream msg;
    msg << "field " << what << " = " << value << ": must be " << allowed;
    throw std::invalid_argument(msg.str());
}

}  // namespace

void check_field(const Field& f, const Eigen::Vector3d& box)
{
    if (f.kind == "constant") {
        for (int k = 0; k < 3; ++k)
            require(std::isfinite(f.force[k]), std::string("force ") + "xyz"[k], f.force[k], "finite");
        return;
    }
    if (f.kind != "wall")
        throw std::invalid_argument("field kind '" + f.kind + "' is not known (allowed: constant, wall)");
    if (f.axis < 0 || f.axis > 2)
        throw std::invalid_argument("wall axis " + std::to_string(f.axis) + " is not x, y or z");
    require(std::isfinite(f.rcut) && f.rcut > 0.0, "rcut", f.rcut, "finite and > 0");
    if (f.style == "lj93") {
        require(std::isfinite(f.epsilon) && f.epsilon >= 0.0, "epsilon", f.epsilon, "finite and >= 0");
        require(std::isfinite(f.sigma) && f.sigma > 0.0, "sigma", f.sigma, "finite and > 0");
    } else if (f.style == "harmonic") {
        require(std::isfinite(f.k) && f.k >= 0.0, "k", f.k, "finite and >= 0");
    } else {
        throw std::invalid_argument("wall kind '" + f.style + "' is not known (allowed: lj93, harmonic)");
    }
    const double side = box[f.axis];
    if (!(side >= 2.0 * f.rcut)) {
        std::ostringstream msg;
        msg << "a wall on " << "xyz"[f.axis] << " needs a box edge of at least 2 rcut = " << 2.0 * f.rcut
            << ", the box has L" << "xyz"[f.axis] << " = " << side;
        throw std::invalid_argument(msg.str());
    }
}
