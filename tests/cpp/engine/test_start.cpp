// Start options of a Cell (seeded generator, given positions and velocities),
// the image counts of the wrap, and the run loop.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "run.h"
#include "support.h"

namespace {

using A = CellTestAccess;

TEST(Start, ASeededCellDrawsItsOwnSequenceInZYXOrder)
{
    CellOptions options;
    options.seeded = true;
    options.seed = 42;
    Cell cell(lj_params("nr_particles = 8\nkT = 2\nmass = 0.5\n"), options);

    std::default_random_engine engine(42);
    std::normal_distribution<double> normal(0.0, 1.0);
    const double s = std::sqrt(2.0 / 0.5);
    const auto drawn = cell.get_initial_velocities();
    for (std::size_t i = 0; i < 8; ++i) {
        const double g1 = normal(engine), g2 = normal(engine), g3 = normal(engine);
        EXPECT_EQ(drawn[3 * i + 0], g3 * s);
        EXPECT_EQ(drawn[3 * i + 1], g2 * s);
        EXPECT_EQ(drawn[3 * i + 2], g1 * s);
    }
    Cell again(lj_params("nr_particles = 8\nkT = 2\nmass = 0.5\n"), options);
    EXPECT_EQ(again.get_velocities(), cell.get_velocities());
}

TEST(Start, GivenPositionsAreWrappedAndGivenVelocitiesKept)
{
    CellOptions options;
    options.positions = {vec3(-1, 11, 5), vec3(2, 2, 2)};
    options.velocities = {vec3(1, 0, 0), vec3(0.5, 0, 0)};  // a net momentum, kept
    Cell cell(lj_params(), options);
    EXPECT_EQ(cell.get_positions(), (std::vector<double>{9, 1, 5, 2, 2, 2}));
    EXPECT_EQ(cell.get_initial_positions(), cell.get_positions());
    EXPECT_EQ(cell.get_velocities(), (std::vector<double>{1, 0, 0, 0.5, 0, 0}));
    EXPECT_EQ(cell.get_initial_velocities(), cell.get_velocities());
    EXPECT_EQ(cell.get_images(), std::vector<std::int32_t>(6, 0));
}

TEST(Start, RefusesGivenVectorsOfTheWrongCountOrNotFinite)
{
    const double nan = std::nan("");
    const std::vector<std::vector<vec3>> bad = {{vec3(1, 1, 1)}, {vec3(1, 1, 1), vec3(nan, 1, 1)}};
    for (const auto& given : bad) {
        CellOptions at;
        at.positions = given;
        EXPECT_THROW(Cell(lj_params(), at), std::invalid_argument);
        CellOptions moving;
        moving.velocities = given;
        EXPECT_THROW(Cell(lj_params(), moving), std::invalid_argument);
    }
}

TEST(Images, UnwrappedPathsHaveNoJumps)
{
    // a small hot liquid whose particles cross the faces many times
    CellOptions options;
    options.threads = 2;
    options.seeded = true;
    options.seed = 7;
    const auto params = lj_params("nr_particles = 64\ncell_length = 5\nkT = 3\ntau = 100\n");
    Cell cell(params, options);
    const double L = 5;
    auto unwrapped = [&] {
        const auto p = cell.get_positions();
        const auto n = cell.get_images();
        std::vector<double> u(p.size());
        for (std::size_t k = 0; k < p.size(); ++k)
            u[k] = p[k] + n[k] * L;
        return u;
    };
    std::vector<double> before = unwrapped();
    int crossings = 0;
    struct NoJumps {
        std::function<std::vector<double>()> unwrapped;
        std::vector<double> before;
        void start(unsigned int) {}
        void every(unsigned int) {}
        void last(unsigned int, bool) {}
        bool go_on(unsigned int)
        {
            const std::vector<double> now = unwrapped();
            for (std::size_t k = 0; k < now.size(); ++k)
                EXPECT_LT(std::fabs(now[k] - before[k]), 0.5) << "coordinate " << k;
            before = now;
            return true;
        }
    } observer;
    observer.unwrapped = unwrapped;
    observer.before = before;
    ::Run run(cell, params, 0, false, false);
    EXPECT_EQ(run.advance(400, observer), 400u);
    for (std::int32_t n : cell.get_images())
        crossings += std::abs(n);
    EXPECT_GT(crossings, 0);
}

// The hooks a Run calls, as "event:steps_done" in call order; stops the run after
// step `stop_at` (0: never).
struct Recorder {
    std::vector<std::string> seen;
    unsigned int stop_at = 0;
    void start(unsigned int n) { seen.push_back("start:" + std::to_string(n)); }
    void every(unsigned int n) { seen.push_back("every:" + std::to_string(n)); }
    void last(unsigned int n, bool every_saw_it)
    {
        seen.push_back("last:" + std::to_string(n) + (every_saw_it ? "+" : ""));
    }
    bool go_on(unsigned int n) { return n != stop_at; }
};

TEST(RunLoop, CallsEveryKAndTheLastStepOnceNumberedOnAcrossCalls)
{
    const auto params = lj_params("nr_particles = 8\n");
    Cell cell(params);
    ::Run run(cell, params, 3, true, false);
    Recorder r;
    EXPECT_EQ(run.advance(7, r), 7u);  // steps 0..6: every at 3 and 6, then last at 7
    EXPECT_EQ(run.advance(2, r), 2u);  // steps 7, 8: 9 is a multiple, last after every
    EXPECT_EQ(run.advance(0, r), 0u);  // no step: only the start
    EXPECT_EQ(r.seen, (std::vector<std::string>{"start:0", "every:3", "every:6", "last:7", "start:7", "every:9",
                                                "last:9+", "start:9"}));
    EXPECT_EQ(run.steps_done(), 9u);
    ASSERT_EQ(run.log().etot.size(), 9u);
    EXPECT_EQ(run.log().etot.back(), cell.get_etot());
}

TEST(RunLoop, AStopEndsAfterTheStepWithTheLastStepReported)
{
    const auto params = lj_params("nr_particles = 8\n");
    Cell cell(params);
    ::Run run(cell, params, 4, false, false);
    Recorder r;
    r.stop_at = 6;
    EXPECT_EQ(run.advance(100, r), 6u);
    EXPECT_TRUE(run.stopped());
    EXPECT_EQ(r.seen, (std::vector<std::string>{"start:0", "every:4", "last:6"}));
    EXPECT_TRUE(run.log().ekin.empty());
}

TEST(RunLoop, ReadsTheTimeStepAgainAfterAnObserverAndGuardsTheCounter)
{
    CellOptions seeded;
    seeded.seeded = true;
    seeded.seed = 3;
    const auto params = lj_params("nr_particles = 8\n");
    Cell cell(params, seeded);
    struct Halve {
        std::shared_ptr<Parameters> p;
        void start(unsigned int) {}
        void every(unsigned int) { p->override_param("stepsize", "0.0025"); }
        void last(unsigned int, bool) {}
        bool go_on(unsigned int) { return true; }
    } halve;
    halve.p = params;
    ::Run run(cell, params, 2, false, false);
    run.advance(4, halve);

    const auto reference_params = lj_params("nr_particles = 8\n");
    Cell reference(reference_params, seeded);
    reference.integrate(0, 0.005, false);
    reference.integrate(1, 0.005, false);
    reference.integrate(2, 0.0025, false);
    reference.integrate(3, 0.0025, false);
    EXPECT_EQ(cell.get_positions(), reference.get_positions());

    ::Run late(cell, params, 0, false, false, 4294967290u);
    NoObserver none;
    EXPECT_THROW(late.advance(6, none), std::overflow_error);
}

TEST(RunSettings, ReadInTheirOrderAndTyped)
{
    try {
        read_run_settings(*params_from("nr_particles = 8\n"));
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Could not find parameter: stepsize");
    }
    const RunSettings s = read_run_settings(*params_from("stepsize = 0.01\nnrsteps = 4294967295\nnr_particles = 8\n"));
    EXPECT_EQ(s.stepsize, 0.01);
    EXPECT_EQ(s.nrsteps, 4294967295u);
    EXPECT_EQ(s.nr_particles, 8u);
    EXPECT_THROW(read_run_settings(*params_from("stepsize = 1\nnrsteps = 1\nnr_particles = 2147483648\n")),
                 boost::bad_lexical_cast);
}

TEST(Movie, ANonFiniteStateIsNotWritten)
{
    Cell cell(lj_params());
    TempFile movie("", ".movie");
    cell.write_to_movie_file(movie.path(), true);
    A::velocities(cell)[1].y() = std::nan("");
    EXPECT_THROW(cell.write_to_movie_file(movie.path(), false), std::range_error);
    std::ifstream in(movie.path(), std::ios::binary | std::ios::ate);
    EXPECT_EQ(static_cast<long>(in.tellg()), 4 + 24 + 2 * 56);  // the first frame only
}

}  // namespace
