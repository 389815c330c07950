// The force-shifted form of any evaluator: u(r) - u(rc) + (r - rc) F(rc), whose
// energy and force both vanish at the cut-off. Three parameters follow the base
// evaluator's: rc, the reduced force at rc, w(rc) / rc, in units of the force
// scale, and the same in units of the energy scale (the base's shift parameter
// already holds its energy at rc).
#pragma once

#include "kernels.h"
#include "pair_table.h"

#include <cmath>

template <class Base>
struct ForceShifted {
    static constexpr int nr_params = Base::nr_params + 3;
    Base base;
    explicit ForceShifted(const kernels::PairTableView& t) : base(t) {}

    template <class V>
    VORLAN_INLINE void operator()(const V* p, V distsq, V& e, V& w) const
    {
        base(p, distsq, e, w);
        const V r = sqrt_lanes(distsq);
        e = e + (r - p[Base::nr_params]) * p[Base::nr_params + 2];
        w = w - r * p[Base::nr_params + 1];
    }
};
