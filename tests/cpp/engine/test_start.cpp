// Start options of a Cell (seeded generator, given positions and velocities),
// the image counts of the wrap, and the run loop.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

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
    Cell cell(lj_params("nr_particles = 64\ncell_length = 5\nkT = 3\ntau = 100\n"), options);
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
    const unsigned int done = run_steps(cell, 0, 400, 0.005, false, [&](unsigned int) {
        const std::vector<double> now = unwrapped();
        for (std::size_t k = 0; k < now.size(); ++k)
            EXPECT_LT(std::fabs(now[k] - before[k]), 0.5) << "coordinate " << k;
        before = now;
        return true;
    });
    EXPECT_EQ(done, 400u);
    for (std::int32_t n : cell.get_images())
        crossings += std::abs(n);
    EXPECT_GT(crossings, 0);
}

TEST(RunSteps, NumbersTheStepsAndStopsWhenTheObserverSaysSo)
{
    Cell cell(lj_params("nr_particles = 8\n"));
    std::vector<unsigned int> seen;
    const unsigned int done = run_steps(cell, 5, 10, 0.005, false, [&](unsigned int step) {
        seen.push_back(step);
        return step < 7;
    });
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(seen, (std::vector<unsigned int>{5, 6, 7}));
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
