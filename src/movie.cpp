// Binary movie file, little-endian, no padding:
//   header (files started with create = true): uint32 N
//   frame: double Lx, Ly, Lz, then per particle 7 doubles: x y z vx vy vz |v|
// A file of K frames started with create is 4 + K (24 + 56 N) bytes long.
#include "cell.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>

namespace {

[[noreturn]] void movie_failure(const std::string& what, const std::string& moviefile, int err)
{
    std::string msg = "cannot " + what + " movie file '" + moviefile + "'";
    if (err != 0)
        msg += std::string(": ") + std::strerror(err);
    throw std::ios_base::failure(msg);
}

}  // namespace

void Cell::write_to_movie_file(const std::string& moviefile, bool create)
{
    std::ofstream outfile;
    const std::uint32_t nr_particles = static_cast<std::uint32_t>(particle_count());

    errno = 0;
    if (create) {
        outfile.open(moviefile, std::ios::out | std::ios::binary | std::ios::trunc);
        if (!outfile)
            movie_failure("open", moviefile, errno);
        char header[4];
        std::memcpy(header, &nr_particles, sizeof header);
        outfile.write(header, sizeof header);
    } else {
        outfile.open(moviefile, std::ios::out | std::ios::binary | std::ios::app);
        if (!outfile)
            movie_failure("open", moviefile, errno);
    }

    outfile.write(reinterpret_cast<const char*>(dims.data()), 3 * sizeof(double));
    double buffer[7];
    for (std::uint32_t i = 0; i < nr_particles; ++i) {
        const vec3& p = positions[i];
        const vec3& v = velocities[i];
        const double velocity = std::sqrt(v.x() * v.x() + (v.y() * v.y() + v.z() * v.z()));
        buffer[0] = p.x(); buffer[1] = p.y(); buffer[2] = p.z();
        buffer[3] = v.x(); buffer[4] = v.y(); buffer[5] = v.z();
        buffer[6] = velocity;
        outfile.write(reinterpret_cast<const char*>(buffer), sizeof buffer);
    }
    if (!outfile)
        movie_failure("write to", moviefile, errno);
    outfile.close();
    if (!outfile)
        movie_failure("close", moviefile, errno);
}
