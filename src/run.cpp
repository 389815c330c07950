#include "run.h"

#include "settings.h"

RunSettings read_run_settings(const Parameters& p)
{
    RunSettings s;
    s.stepsize = settings::real(p, "stepsize");
    s.nrsteps = settings::count(p, "nrsteps");
    s.nr_particles = settings::count(p, "nr_particles");
    return s;
}
