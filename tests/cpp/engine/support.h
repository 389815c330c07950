// Helpers shared by the engine tests: parameter files from text, the runtime's
// thread count for one scope, and white-box access to a Cell's private state.
#pragma once

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>

#include "cell.h"
#include "parameters.h"

// A parameter file written to a fresh temporary path, removed when it goes out of scope.
class TempFile {
public:
    explicit TempFile(const std::string& text, const std::string& suffix = ".par")
    {
        char tmpl[] = "/tmp/vorlan_test_XXXXXX";
        const int fd = mkstemp(tmpl);
        ::close(fd);
        std::remove(tmpl);
        path_ = std::string(tmpl) + suffix;
        std::ofstream(path_, std::ios::binary) << text;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline std::shared_ptr<Parameters> params_from(const std::string& text)
{
    TempFile file(text);
    return std::make_shared<Parameters>(file.path());
}

// The usual set of keys, with the ones given in `extra` placed first (first wins).
inline std::shared_ptr<Parameters> lj_params(const std::string& extra = "")
{
    return params_from(extra +
                       "nr_particles = 2\ncell_length = 10\nkT = 1\nmass = 1\nsigma = 1\nepsilon = 1\n"
                       "rcut = 2.5\nshell = 0.3\ntau = 0.5\nstepsize = 0.005\nnrsteps = 10\n");
}

// The runtime's default team size set for the life of this object, then restored,
// so that a failing test leaves the next one the thread count it started with.
class ThreadCount {
public:
    explicit ThreadCount(int n) : saved_(omp_get_max_threads()) { omp_set_num_threads(n); }
    ~ThreadCount() { omp_set_num_threads(saved_); }
    ThreadCount(const ThreadCount&) = delete;
    ThreadCount& operator=(const ThreadCount&) = delete;

private:
    int saved_;
};

struct CellTestAccess {
    static std::vector<vec3>& positions(Cell& c) { return c.pstate.positions; }
    static std::vector<vec3>& velocities(Cell& c) { return c.pstate.velocities; }
    static std::vector<vec3>& forces(Cell& c) { return c.pstate.forces; }
    static std::vector<vec3>& dij_list(Cell& c) { return c.pstate.dij_list; }
    static std::vector<unsigned int>& neighbor_list(Cell& c) { return c.nlist.entries; }
    static std::vector<std::int32_t>& images(Cell& c) { return c.pstate.images; }
    static double& ekin(Cell& c) { return c.ekin; }
    static std::shared_ptr<Parameters>& params(Cell& c) { return c.params; }
    static double gauss(const Cell& c) { return c.get_gauss(); }
    static void build_neighbor_list(Cell& c) { c.build_neighbor_list(); }
    static bool stale(const Cell& c) { return c.check_update_neighbor_list(); }
    static void calculate_forces(Cell& c) { c.calculate_forces(); }
    static void half_kick(Cell& c, double dt) { c.update_velocities_half_dt(dt); }
    static void drift(Cell& c, double dt) { c.update_positions(dt); }
    static void wrap(Cell& c) { c.apply_boundary_conditions(); }
    static void thermostat(Cell& c, double dt) { c.apply_berendsen_thermostat(dt); }

    // Places the particles, then rebuilds the list and the forces for them.
    static void place(Cell& c, const std::vector<vec3>& at)
    {
        c.pstate.positions = at;
        c.build_neighbor_list();
        c.calculate_forces();
    }
};
