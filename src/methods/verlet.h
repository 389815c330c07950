// Velocity Verlet, written once for the methods built on it (NVE, Berendsen,
// Bussi, Nose-Hoover); each adds its thermostat through hooks:
//
//   before_first_kick      (Nose-Hoover: the chain over dt/2)
//   1. v += F dt / 2m
//   after_first_kick       (Berendsen: the half-step velocities scaled)
//   2. x += v dt; the barostat's move
//   3. F at the new positions; wrap; list
//   4. v += F dt / 2m
//   after_second_kick      (Bussi: the rescaling; Nose-Hoover: the chain over dt/2)
//
// A method derives from VerletHooks and hides the hooks it uses; the others do
// nothing. The order of the operations is the step's bits: a hook runs exactly
// where the list puts it.
#pragma once

#include "method_kind.h"
#include "step_context.h"

struct VerletHooks {
    void before_first_kick(StepStages&, const StepContext&) {}
    void after_first_kick(StepStages&, const StepContext&) {}
    void after_second_kick(StepStages&, const StepContext&) {}
};

template <class Method>
void velocity_verlet(Method& method, StepStages& stages, const StepContext& ctx)
{
    const StepStages::Start start = stages.begin_step();
    method.before_first_kick(stages, ctx);
    stages.kick(ctx.dt);
    method.after_first_kick(stages, ctx);
    stages.drift(ctx.dt);
    ctx.after_drift(stages);
    stages.update_forces();
    stages.kick(ctx.dt);
    method.after_second_kick(stages, ctx);
    stages.end_step(ctx.step, ctx.verbose, start);
}
