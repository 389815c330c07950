// The Lennard-Jones pair terms, written once for every loop that evaluates them.
//
// For one pair at squared distance distsq, with sr2 = s^2 / distsq:
//   sr6 = (sr2 sr2) sr2,  sr12 = sr6 sr6
//   energy  (sr12 - sr6) - epot_cutoff          in units of 4 eps
//   force   ((sr12 + sr12) - sr6) / distsq      in units of 24 eps, times r_ij gives F_ij
//   virial  (sr12 + sr12) - sr6                 in units of 24 eps: r_ij . F_ij
// The operations and their order are part of the results (no fused multiply-adds,
// no reassociation): every caller gets the same bits for the same pair.
#pragma once

class LJPairEvaluator {
public:
    LJPairEvaluator(double sigmasq, double distsq) : distsq_(distsq)
    {
        const double sr2 = sigmasq / distsq;
        sr6_ = (sr2 * sr2) * sr2;
        sr12_ = sr6_ * sr6_;
    }

    double energy(double epot_cutoff) const { return (sr12_ - sr6_) - epot_cutoff; }
    double virial() const { return (sr12_ + sr12_) - sr6_; }
    double force_factor() const { return virial() / distsq_; }

private:
    double distsq_;
    double sr6_;
    double sr12_;
};

// The energy term at the cut-off, subtracted from every pair so that the pair
// energy vanishes there.
inline double lj_epot_cutoff(double sigmasq, double rcutsq)
{
    return LJPairEvaluator(sigmasq, rcutsq).energy(0.0);
}
