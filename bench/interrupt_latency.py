"""Latency of Ctrl-C during a run: the time from a SIGINT, sent by another
thread while the engine steps, to the KeyboardInterrupt in the main thread.
At most one step of the engine should pass (a step of 4000 particles takes
a few milliseconds); the figure depends on the machine's load, so it is
printed here, not asserted in the unit suite.

    PYTHONPATH=build/cmake/python python3 bench/interrupt_latency.py [--repeat 5]
"""

import argparse
import os
import signal
import threading
import time

from vorlan import Simulation

SETTINGS = {"nr_particles": 4000, "cell_length": 16.8, "kT": 1, "mass": 1, "sigma": 1, "epsilon": 1,
            "rcut": 2.5, "shell": 0.3, "tau": 0.5, "stepsize": 0.001}


def latency(delay: float) -> tuple:
    """(seconds from the signal to the interrupt, steps done, seconds per step)."""
    sim = Simulation(SETTINGS, seed=2)
    sent = []

    def interrupt() -> None:
        time.sleep(delay)
        sent.append((time.perf_counter(), sim.step))
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=interrupt).start()
    start = time.perf_counter()
    try:
        sim.run(10**6)
    except KeyboardInterrupt:
        stopped = time.perf_counter()
    return stopped - sent[0][0], sim.step, (sent[0][0] - start) / max(sent[0][1], 1)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--delay", type=float, default=0.5, help="seconds of running before the signal")
    args = parser.parse_args()
    print(f"{'latency / s':>12} {'steps':>8} {'step / s':>10}")
    for _ in range(args.repeat):
        seconds, steps, per_step = latency(args.delay)
        print(f"{seconds:12.4f} {steps:8d} {per_step:10.4f}")


if __name__ == "__main__":
    main()
