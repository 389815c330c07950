// The team sizes a Cell may ask for.
//
// A team larger than the processors only makes every barrier wait for threads
// that are not running, and each member costs a stack of its own: the OpenMP
// runtime ends the whole process when it cannot start one (no error it could
// report) and overflows its own stack for teams of tens of thousands. So a team
// is at most max_team_size() threads, and a team of more than one thread is
// started once on trial (plain threads with the default stack size, as the
// runtime starts its own) before any parallel loop forks it.
#pragma once

// The largest team allowed: 4 x the processors this process may run on, and no
// more than the OpenMP thread limit (OMP_THREAD_LIMIT).
int max_team_size();

// n, a team size asked for: 0 (the runtime's default, kept within
// max_team_size() by the Cell) or 1 .. max_team_size(). Throws
// std::invalid_argument naming `threads` for other values, and
// std::runtime_error when n threads cannot be started side by side (memory or
// process limits).
int checked_team_size(int n);
