#include "nve.h"

void NVE::step(Cell& cell, const StepContext& ctx)
{
    const Cell::StepStart start = cell.begin_step();
    cell.update_velocities_half_dt(ctx.dt);
    cell.update_positions(ctx.dt);
    ctx.after_drift(cell);
    cell.update_forces();
    cell.update_velocities_half_dt(ctx.dt);
    cell.end_step(ctx.step, ctx.verbose, start);
}
