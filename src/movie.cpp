// Binary movie file, little-endian, no padding:
//   header (files started with create = true): uint32 N
//   frame: double Lx, Ly, Lz, then per particle 7 doubles: x y z vx vy vz |v|
// A file of K frames started with create is 4 + K (24 + 56 N) bytes long. Frames
// carry no step number: their order in the file is the order of the calls.
//
// The bytes are copied from memory as they stand, so the format is little-endian
// only on a little-endian host; refuse to build anywhere else.
#include "cell.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the movie file is written in host byte order");
static_assert(sizeof(vec3) == 3 * sizeof(double), "vec3 must be three packed doubles");

namespace {

// A failed open, write or close is lost data: report it with the path and the
// reason the system gave (or the stream's generic error when there is none).
[[noreturn]] void movie_failure(const char* what, const std::string& moviefile, int err)
{
    const std::error_code reason =
        err != 0 ? std::error_code(err, std::generic_category()) : std::make_error_code(std::io_errc::stream);
    throw std::ios_base::failure(std::string("cannot ") + what + " movie file '" + moviefile + "'", reason);
}

}  // namespace

void Cell::write_to_movie_file(const std::string& moviefile, bool create)
{
    std::ofstream outfile;
    // Read before the file is touched: a bad nr_particles leaves the file as it was.
    const std::uint32_t nr_particles = static_cast<std::uint32_t>(particle_count());
    const std::vector<vec3> x = by_id(pstate.positions), u = by_id(pstate.velocities);  // frames in the order of the ids
    // A frame never holds a non-finite number; a state that has one (a step that
    // failed half-way) is refused before the file is touched.
    for (std::uint32_t i = 0; i < nr_particles; ++i) {
        const vec3& p = x[i];
        const vec3& v = u[i];
        if (!std::isfinite(p.x() + p.y() + p.z() + v.x() + v.y() + v.z())) {
            std::ostringstream msg;
            msg << "particle " << i << " is at (" << p.x() << ", " << p.y() << ", " << p.z() << ") with velocity ("
                << v.x() << ", " << v.y() << ", " << v.z() << "): a state that is not finite is not written to movie file '"
                << moviefile << "'";
            throw std::range_error(msg.str());
        }
    }

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
    for (std::uint32_t i = 0; i < nr_particles && outfile; ++i) {
        const vec3& p = x[i];
        const vec3& v = u[i];
        const double velocity = std::sqrt(v.x() * v.x() + (v.y() * v.y() + v.z() * v.z()));
        buffer[0] = p.x(); buffer[1] = p.y(); buffer[2] = p.z();
        buffer[3] = v.x(); buffer[4] = v.y(); buffer[5] = v.z();
        buffer[6] = velocity;
        outfile.write(reinterpret_cast<const char*>(buffer), sizeof buffer);
    }
    if (!outfile)
        movie_failure("write", moviefile, errno);
    // Buffered data reaches the file here; a full disk may only show now.
    outfile.close();
    if (!outfile)
        movie_failure("close", moviefile, errno);
}
