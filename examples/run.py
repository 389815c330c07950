"""Runs one simulation from a parameter file and prints a short summary."""

import sys
import time

from vorlan import Vorlan


def main(argv):
    if len(argv) != 2:
        print("usage: run.py PARAMETER_FILE", file=sys.stderr)
        return 2
    start = time.perf_counter()
    r = Vorlan().simulate(argv[1])
    seconds = time.perf_counter() - start
    n, steps = r["nrparticles"], r["nrsteps"]
    print(f"particles      {n}")
    print(f"steps          {steps}")
    if steps:
        print(f"final Ekin     {r['ekin'][-1]:.6f}   (per particle {r['ekin'][-1] / max(n, 1):.6f})")
        print(f"final Epot     {r['epot'][-1]:.6f}   (per particle {r['epot'][-1] / max(n, 1):.6f})")
        print(f"final Etot     {r['etot'][-1]:.6f}")
    print(f"wall time      {seconds:.3f} s   ({n * steps / seconds / 1e6:.2f} M atom-steps/s)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
