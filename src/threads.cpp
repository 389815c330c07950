#include "threads.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <omp.h>
#include <pthread.h>

namespace {

void* nothing(void*) { return nullptr; }

// Starts n - 1 threads that exist side by side (a finished thread keeps its stack
// until it is joined), then joins them all; the error of the first that could
// not start, or 0.
int start_on_trial(int n)
{
    std::vector<pthread_t> started;
    started.reserve(static_cast<std::size_t>(n));
    int error = 0;
    for (int k = 1; k < n && error == 0; ++k) {
        pthread_t t;
        error = pthread_create(&t, nullptr, nothing, nullptr);
        if (error == 0)
            started.push_back(t);
    }
    for (pthread_t t : started)
        pthread_join(t, nullptr);
    return error;
}

}  // namespace

int max_team_size()
{
    // read once: asking for the processors is a system call, and every parallel
    // loop of a cell on the default team needs the bound
    static const int most = std::max(1, std::min(omp_get_thread_limit(), 4 * omp_get_num_procs()));
    return most;
}

int checked_team_size(int n)
{
    if (n == 0)
        return 0;
    const int most = max_team_size();
    if (n < 1 || n > most) {
        std::ostringstream msg;
        msg << "threads = " << n << " is not allowed: the team size must be 1 to " << most
            << " (4 threads per processor, " << omp_get_num_procs()
            << " processors here, within the OpenMP thread limit)";
        throw std::invalid_argument(msg.str());
    }
    if (const int error = start_on_trial(n)) {
        std::ostringstream msg;
        msg << "threads = " << n << ": a team of " << n << " threads cannot be started here (" << std::strerror(error)
            << "); ask for fewer threads";
        throw std::runtime_error(msg.str());
    }
    return n;
}
