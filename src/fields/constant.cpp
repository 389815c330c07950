// A body force F on every particle; energy -F . (x + n L) of the unwrapped
// position, so the work F does along the path is taken out of epot.
#include "fields/field.h"

double constant_field(const Field& f, const Eigen::Vector3d& x, const std::int32_t* image,
                      const Eigen::Vector3d& box, Eigen::Vector3d& force)
{
    double e = 0.0;
    for (int k = 0; k < 3; ++k) {
        force[k] += f.force[k];
        e -= f.force[k] * (x[k] + static_cast<double>(image[k]) * box[k]);
    }
    return e;
}
