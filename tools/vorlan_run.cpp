// vorlan-run: runs one simulation from a parameter file without Python and,
// on request, records its trajectory in a binary movie file.
//
// The run is the same as Vorlan().simulate(PARAMS): the file must be a readable
// regular file, the run settings stepsize, nrsteps and nr_particles are read
// before the Cell is built, and step i (i = 0 .. nrsteps-1) is
// integrate(i, stepsize, verbose). With the same parameter file and a fresh
// process, both give the same final state.
//
// Movie frames (--movie FILE --every K):
//   frame 0         the initial configuration, before the first step; it starts
//                   the file (create), so an unwritable path fails before the run
//   then            one frame after every K completed steps
//   last frame      always the final configuration: when nrsteps is not a multiple
//                   of K, one more frame is written after the last step
// A run of S steps thus writes 1 + floor(S/K) frames, plus one when K does not
// divide S.
//
// Interrupt (SIGINT, Ctrl-C): the step under way and the frame being written are
// finished; the state after that step is written as the last frame (unless it
// already was), and the program exits with status 130.
//
// Exit status: 0 success, 1 the run failed (unreadable file, bad parameter,
// engine or I/O error), 2 bad command line, 130 interrupted. Messages go to
// standard error.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <limits>
#include <memory>
#include <string>

#include "cell.h"
#include "parameters.h"
#include "run.h"

namespace {

const char* const usage_line = "usage: vorlan-run PARAMS [--movie FILE [--every K]] [--verbose]\n";
const char* const help_text =
    "\n"
    "Runs the nrsteps time steps of the simulation described by the parameter\n"
    "file PARAMS.\n"
    "\n"
    "  --movie FILE  write the trajectory to FILE (binary movie file): the initial\n"
    "                configuration, one frame after every K steps, and always the\n"
    "                final configuration as the last frame\n"
    "  --every K     steps between frames, a positive integer (default 1)\n"
    "  --verbose     print the progress line every 1000 steps\n"
    "  -h, --help    show this message and exit\n"
    "\n"
    "Exit status: 0 on success, 1 when the run fails, 2 on a bad command line,\n"
    "130 when interrupted (the movie then ends with the state at the interrupt).\n";

struct Options {
    std::string params;      // path of the parameter file
    std::string movie;       // path of the movie file; empty: no movie
    unsigned int every = 1;  // steps between frames
    bool verbose = false;    // progress line every 1000 steps
};

struct UsageError {
    std::string message;
};

// A positive decimal integer that fits an unsigned int, nothing else.
unsigned int parse_every(const std::string& text)
{
    const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    unsigned long long value = 0;
    if (digits && text.size() <= 10)
        value = std::strtoull(text.c_str(), nullptr, 10);
    if (!digits || value == 0 || value > std::numeric_limits<unsigned int>::max())
        throw UsageError{"--every needs a positive integer, got '" + text + "'"};
    return static_cast<unsigned int>(value);
}

Options parse_arguments(int argc, char** argv)
{
    Options opt;
    bool have_params = false, have_every = false, options_done = false;
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        if (!options_done && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--") {
                options_done = true;
            } else if (arg == "--movie" || arg == "--every") {
                if (a + 1 >= argc)
                    throw UsageError{arg + " needs a value"};
                const std::string value = argv[++a];
                if (arg == "--movie") {
                    if (value.empty())
                        throw UsageError{"--movie needs a file name"};
                    opt.movie = value;
                } else {
                    opt.every = parse_every(value);
                    have_every = true;
                }
            } else if (arg == "--verbose") {
                opt.verbose = true;
            } else {
                throw UsageError{"unknown option '" + arg + "'"};
            }
        } else if (have_params) {
            throw UsageError{"only one parameter file, got '" + opt.params + "' and '" + arg + "'"};
        } else {
            opt.params = arg;
            have_params = true;
        }
    }
    if (!have_params)
        throw UsageError{"no parameter file given"};
    if (have_every && opt.movie.empty())
        throw UsageError{"--every needs --movie"};
    return opt;
}

volatile std::sig_atomic_t interrupted = 0;

extern "C" void on_interrupt(int) { interrupted = 1; }

// Movie frames and Ctrl-C, between steps: the first frame starts the file, one
// frame every K steps, and the last step's state when no frame holds it yet.
class MovieObserver {
public:
    MovieObserver(Cell& c, const std::string& path) : cell(c), movie(path) {}
    void start(unsigned int) { write(true); }
    void every(unsigned int) { write(false); }
    void last(unsigned int, bool seen)
    {
        if (!seen)
            write(false);
    }
    bool go_on(unsigned int) { return interrupted == 0; }

private:
    void write(bool create)
    {
        if (!movie.empty())
            cell.write_to_movie_file(movie, create);
    }

    Cell& cell;         // the box whose frames are written
    std::string movie;  // path of the movie file; empty: no movie
};

// The run; engine failures propagate as exceptions. A missing or unreadable
// parameter file fails in the Parameters constructor ("Cannot open file: PATH").
int run(const Options& opt)
{
    const auto parameters = std::make_shared<Parameters>(opt.params);
    const RunSettings run_settings = read_run_settings(*parameters);  // before the Cell, as simulate
    const auto cell = std::make_unique<Cell>(parameters);
    MovieObserver observer(*cell, opt.movie);
    Run run(*cell, parameters, opt.movie.empty() ? 0 : opt.every, false, opt.verbose);
    const unsigned int done = run.advance(run_settings.nrsteps, observer);
    if (interrupted == 0)
        return 0;
    std::cerr << "vorlan-run: interrupted after " << done << " of " << run_settings.nrsteps << " steps\n";
    return 130;
}

}  // namespace

int main(int argc, char** argv)
{
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        if (arg == "--")
            break;
        if (arg == "-h" || arg == "--help") {
            std::cout << usage_line << help_text;
            return 0;
        }
    }

    Options opt;
    try {
        opt = parse_arguments(argc, argv);
    } catch (const UsageError& e) {
        std::cerr << "vorlan-run: " << e.message << '\n'
                  << usage_line << "Try 'vorlan-run --help' for more information.\n";
        return 2;
    }

    // The flag is looked at between steps; SA_RESTART lets a write under way finish.
    struct sigaction action = {};
    action.sa_handler = on_interrupt;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);

    try {
        return run(opt);
    } catch (const std::exception& e) {
        std::cerr << "vorlan-run: " << e.what() << '\n';
    } catch (...) {
        std::cerr << "vorlan-run: unknown error\n";
    }
    return 1;
}
