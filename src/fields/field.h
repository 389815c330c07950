// External fields: a force on each particle from its own position alone, added
// after the pair loop. Two kinds:
//
//   constant  a body force F on every particle (gravity, a pressure gradient
//             driving flow); energy -F . x of the unwrapped position, so that
//             the work it does stays in epot and etot is conserved
//   wall      walls at both ends [0, L] of one axis, which that axis loses its
//             periodicity to; with r the distance to a wall,
//               lj93:     u(r) = eps [2/15 (s/r)^9 - (s/r)^3] - u(rc)   r < rc
//               harmonic: u(r) = k (r - rc)^2                            r < rc
//
// Field forces are left out of the virial (and so of the pressure and its
// tensor): the pressure stays the pair pressure of the fluid, as a bulk
// estimator should; a wall's normal load is its own observable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <Eigen/Core>

struct Field {
    std::string kind;                      // "constant" or "wall"
    std::string style;                     // wall: "lj93" or "harmonic"
    int axis = -1;                         // wall: 0, 1, 2 for x, y, z
    double force[3] = {0.0, 0.0, 0.0};     // constant: the body force
    double epsilon = 0.0, sigma = 0.0;     // lj93
    double k = 0.0;                        // harmonic: stiffness
    double rcut = 0.0;                     // wall: reach from each wall
};

// One kind of field as the registry lists it (exported to Python).
struct FieldKind {
    std::string name;
    std::string summary;                   // the energy, as a formula
    std::vector<std::string> parameters;
};
const std::vector<FieldKind>& field_kinds();

// Throws std::invalid_argument naming the key at fault: unknown kind or style,
// an axis out of 0..2, a parameter not finite or out of range, or a wall whose
// box edge is shorter than twice its reach.
void check_field(const Field& f, const Eigen::Vector3d& box);

// The form of a checked field, resolved from its kind and style once per pass
// rather than once per particle.
enum class FieldForm { constant, lj93_wall, harmonic_wall };
FieldForm field_form(const Field& f);

// The energy of particle at `x` (wrapped; `image` its box crossings) in field
// `f` (a wall of form `form`), its force added to `force`. constant.cpp and
// wall.cpp.
double constant_field(const Field& f, const Eigen::Vector3d& x, const std::int32_t* image,
                      const Eigen::Vector3d& box, Eigen::Vector3d& force);
double wall_field(const Field& f, FieldForm form, const Eigen::Vector3d& x, const Eigen::Vector3d& box,
                  Eigen::Vector3d& force);
