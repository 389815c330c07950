// Movie file: sizes and layout of header, frames and records, create versus
// append, and the errors for a file that cannot be written.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes read_bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path) { return std::ifstream(path).good(); }

double double_at(const Bytes& b, std::size_t offset)
{
    double d;
    std::memcpy(&d, b.data() + offset, sizeof d);
    return d;
}

std::uint32_t u32_at(const Bytes& b, std::size_t offset)
{
    std::uint32_t u;
    std::memcpy(&u, b.data() + offset, sizeof u);
    return u;
}

// A path that nothing has created yet; removed at the end of the test.
struct MoviePath {
    TempFile tmp{"", ".movie"};
    MoviePath() { std::remove(tmp.path().c_str()); }
    const std::string& str() const { return tmp.path(); }
};

// Two particles with known state: the second at rest, the first moving at (3, 4, 0).
Cell two_particles()
{
    Cell cell(lj_params());
    CellTestAccess::positions(cell) = {vec3(1.25, 2.5, 3.75), vec3(6.0, 7.0, 8.0)};
    CellTestAccess::velocities(cell) = {vec3(3.0, 4.0, 0.0), vec3(0.0, 0.0, 0.0)};
    return cell;
}

}  // namespace

TEST(MovieFile, NoParticlesGiveHeaderAndBoxOnly)
{
    MoviePath movie;
    Cell cell(lj_params("nr_particles = 0\n"));
    cell.write_to_movie_file(movie.str(), true);
    Bytes b = read_bytes(movie.str());
    ASSERT_EQ(b.size(), 28u);
    EXPECT_EQ(u32_at(b, 0), 0u);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(double_at(b, 4 + 8 * k), 10.0);

    cell.write_to_movie_file(movie.str(), false);
    cell.write_to_movie_file(movie.str(), false);
    EXPECT_EQ(read_bytes(movie.str()).size(), 28u + 2 * 24u);
}

TEST(MovieFile, TwoParticlesThreeFramesLayout)
{
    MoviePath movie;
    Cell cell = two_particles();
    cell.write_to_movie_file(movie.str(), true);
    CellTestAccess::positions(cell)[1] = vec3(6.5, 7.5, 8.5);
    cell.write_to_movie_file(movie.str(), false);
    cell.write_to_movie_file(movie.str(), false);

    const Bytes b = read_bytes(movie.str());
    ASSERT_EQ(b.size(), 4u + 3 * 136u);
    EXPECT_EQ(u32_at(b, 0), 2u);
    const double moving[7] = {1.25, 2.5, 3.75, 3.0, 4.0, 0.0, 5.0};
    for (std::size_t frame = 0; frame < 3; ++frame) {
        const std::size_t f = 4 + 136 * frame;
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(double_at(b, f + 8 * k), 10.0) << "frame " << frame;
        for (int k = 0; k < 7; ++k)
            EXPECT_EQ(double_at(b, f + 24 + 8 * k), moving[k]) << "frame " << frame << " field " << k;
        const double z = frame == 0 ? 8.0 : 8.5;
        EXPECT_EQ(double_at(b, f + 80 + 16), z) << "frame " << frame;
        EXPECT_EQ(double_at(b, f + 80 + 48), 0.0) << "a particle at rest has speed 0";
    }
}

TEST(MovieFile, RecordBytesAreLittleEndianDoubles)
{
    MoviePath movie;
    Cell cell = two_particles();
    cell.write_to_movie_file(movie.str(), true);
    const Bytes b = read_bytes(movie.str());
    ASSERT_EQ(b.size(), 4u + 136u);

    const Bytes header = {0x02, 0x00, 0x00, 0x00};
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 4), header);
    // Record of particle 0: 1.25 2.5 3.75 | 3 4 0 | 5, as IEEE-754 binary64, low byte first.
    const Bytes record = {
        0, 0, 0, 0, 0, 0, 0xf4, 0x3f,  // 1.25
        0, 0, 0, 0, 0, 0, 0x04, 0x40,  // 2.5
        0, 0, 0, 0, 0, 0, 0x0e, 0x40,  // 3.75
        0, 0, 0, 0, 0, 0, 0x08, 0x40,  // 3
        0, 0, 0, 0, 0, 0, 0x10, 0x40,  // 4
        0, 0, 0, 0, 0, 0, 0x00, 0x00,  // 0
        0, 0, 0, 0, 0, 0, 0x14, 0x40,  // speed 5
    };
    EXPECT_EQ(Bytes(b.begin() + 28, b.begin() + 84), record);
    const Bytes box_x = {0, 0, 0, 0, 0, 0, 0x24, 0x40};  // 10
    EXPECT_EQ(Bytes(b.begin() + 4, b.begin() + 12), box_x);
}

TEST(MovieFile, SpeedAddsTheYAndZSquaresFirst)
{
    MoviePath movie;
    Cell cell = two_particles();
    // Chosen so that the two orders of the sum round differently.
    const vec3 v(1.0, 1.2247e-8, 1.2247e-8);
    const double expected = std::sqrt(v.x() * v.x() + (v.y() * v.y() + v.z() * v.z()));
    const double other_order = std::sqrt((v.x() * v.x() + v.y() * v.y()) + v.z() * v.z());
    ASSERT_NE(expected, other_order);
    CellTestAccess::velocities(cell)[0] = v;
    cell.write_to_movie_file(movie.str(), true);
    EXPECT_EQ(double_at(read_bytes(movie.str()), 4 + 24 + 48), expected);
}

TEST(MovieFile, CreateDiscardsEarlierFramesAndAppendNeedsNoHeader)
{
    MoviePath movie;
    Cell cell = two_particles();
    for (int i = 0; i < 3; ++i)
        cell.write_to_movie_file(movie.str(), i == 0);
    ASSERT_EQ(read_bytes(movie.str()).size(), 412u);
    cell.write_to_movie_file(movie.str(), true);
    EXPECT_EQ(read_bytes(movie.str()).size(), 140u);

    // Appending to a path that does not exist yet starts the file with a frame.
    MoviePath fresh;
    cell.write_to_movie_file(fresh.str(), false);
    const Bytes b = read_bytes(fresh.str());
    ASSERT_EQ(b.size(), 136u);
    EXPECT_EQ(double_at(b, 0), 10.0);
    EXPECT_EQ(double_at(b, 24), 1.25);
    EXPECT_EQ(double_at(b, 24 + 48), 5.0);
}

TEST(MovieFile, UnopenablePathRaisesWithPathAndReason)
{
    Cell cell = two_particles();
    const std::string path = "/nonexistent_vorlan_dir/sub/run.movie";
    for (bool create : {true, false}) {
        try {
            cell.write_to_movie_file(path, create);
            FAIL() << "no exception for " << path;
        } catch (const std::ios_base::failure& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(path), std::string::npos) << what;
            EXPECT_NE(what.find("No such file or directory"), std::string::npos) << what;
            EXPECT_EQ(what.find("iostream error"), std::string::npos) << what;
        }
    }
    EXPECT_FALSE(exists(path));
}

TEST(MovieFile, FailingWritesRaise)
{
    if (!exists("/dev/full"))
        GTEST_SKIP() << "/dev/full is not available";
    // Two particles fit the stream buffer, so the error shows at close; a thousand
    // particles overflow it and fail during the writes.
    for (const char* n : {"nr_particles = 2\n", "nr_particles = 1000\ncell_length = 20\n"}) {
        Cell cell(lj_params(n));
        try {
            cell.write_to_movie_file("/dev/full", true);
            FAIL() << "no exception writing to /dev/full with " << n;
        } catch (const std::ios_base::failure& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find("'/dev/full'"), std::string::npos) << what;
            EXPECT_NE(what.find("No space left on device"), std::string::npos) << what;
        }
    }
}

TEST(MovieFile, MissingParticleCountLeavesTheFileAlone)
{
    MoviePath movie;
    Cell cell = two_particles();
    cell.write_to_movie_file(movie.str(), true);
    cell.write_to_movie_file(movie.str(), false);
    const Bytes before = read_bytes(movie.str());

    CellTestAccess::params(cell) = params_from("cell_length = 10\n");
    EXPECT_THROW(cell.write_to_movie_file(movie.str(), true), std::runtime_error);
    EXPECT_EQ(read_bytes(movie.str()), before);

    MoviePath untouched;
    EXPECT_THROW(cell.write_to_movie_file(untouched.str(), false), std::runtime_error);
    EXPECT_FALSE(exists(untouched.str()));
}
