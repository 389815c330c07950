// Random numbers of the stochastic methods: counter-based, so that every number
// is a pure function of where it is used.
//
// Philox4x32-10 (Random123; Salmon et al., SC'11) maps a 128-bit counter and a
// 64-bit key to 128 random bits. The key is the user's seed; the counter is
// (step, index, purpose, draw): the time step, the particle (or 0 for a number
// drawn once per step), the method that draws (Purpose), and the how-manieth
// block of one such draw. Hence:
//   - a particle's noise does not depend on which thread computes it, nor on how
//     the particles are split among threads;
//   - a run continued from a checkpoint at step k draws what the unbroken run
//     draws at step k;
//   - two seeds are two keys: two unrelated streams, not one stream shifted.
//
// Gaussian numbers come from the Box-Muller transform of two 32-bit words (one
// gives the radius, one the angle), evaluated with polynomials instead of the
// library's log, sin and cos so that a whole block of particles is transformed
// in vector registers, with the same bits on every CPU (noise.cpp). Resolution
// 2^-32: the largest |value| is 6.77.
#pragma once

#include <cstddef>
#include <cstdint>

#include <Random123/philox.h>

namespace noise {

// Who draws: a separate part of the counter space for each.
enum class Purpose : std::uint32_t {
    langevin = 1,  // per particle and step: the friction's kicks
    bussi = 2,     // per step: the kinetic-energy draw
    barostat = 3,  // per step: the volume kick
};

// The random words of one (step, index, purpose, draw) counter.
inline r123::Philox4x32::ctr_type words(std::uint64_t seed, std::uint32_t step, std::uint32_t index, Purpose purpose,
                                        std::uint32_t draw)
{
    const r123::Philox4x32::key_type key = {
        {static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32)}};
    const r123::Philox4x32::ctr_type ctr = {{step, index, static_cast<std::uint32_t>(purpose), draw}};
    return r123::Philox4x32()(ctr, key);
}

// Two independent standard normal numbers from two random words: radius from
// `r`, angle from `a`.
void box_muller(std::uint32_t r, std::uint32_t a, double& x, double& y);

// Three standard normal numbers per particle for the particles [begin, end):
// out[3i], out[3i + 1], out[3i + 2], from counter (step, id, purpose, 0), the
// particle's number id = ids[i] (i without ids).
void normal_triples(std::uint64_t seed, std::uint32_t step, Purpose purpose, std::size_t begin, std::size_t end,
                    double* out, const std::uint64_t* ids = nullptr);

// A sequence of numbers drawn once per step: the blocks (step, 0, purpose, 0),
// (step, 0, purpose, 1), ... used word by word.
class StepStream {
public:
    StepStream(std::uint64_t seed, std::uint32_t step, Purpose purpose) : seed(seed), step(step), purpose(purpose) {}

    double uniform();  // in (0, 1)
    double normal();   // standard normal
    // Gamma-distributed with shape k >= 1 and scale 1 (Marsaglia & Tsang, ACM TOMS 26, 363 (2000)).
    double gamma(double k);

private:
    std::uint32_t word();

    std::uint64_t seed;        // the user's seed: the key
    std::uint32_t step;        // the time step
    Purpose purpose;           // who draws
    std::uint32_t draw = 0;    // next block of four words
    r123::Philox4x32::ctr_type block = {{0, 0, 0, 0}};  // the current block
    int used = 4;              // words of `block` used
};

}  // namespace noise
