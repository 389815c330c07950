#include "mpi_domain.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <sstream>
#include <stdexcept>
#include <type_traits>

namespace {

// First subcell of domain i of p along an axis of n subcells.
inline unsigned int range_start(int i, unsigned int n, int p)
{
    return static_cast<unsigned int>((static_cast<unsigned long long>(i) * n) / static_cast<unsigned long long>(p));
}

// The domain of each subcell along one axis.
std::vector<int> owners_along(unsigned int n, int p)
{
    std::vector<int> owner(n, 0);
    for (int i = 0; i < p; ++i)
        for (unsigned int c = range_start(i, n, p); c < range_start(i + 1, n, p); ++c)
            owner[c] = i;
    return owner;
}

// The distinct subcells below, at and above c along a periodic axis of n.
int around(unsigned int c, unsigned int n, unsigned int out[3])
{
    const unsigned int cand[3] = {c == 0 ? n - 1 : c - 1, c, c + 1 == n ? 0 : c + 1};
    int k = 0;
    for (unsigned int x : cand)
        if (std::find(out, out + k, x) == out + k)
            out[k++] = x;
    return k;
}

// What travels with a particle that changes owner, as doubles (integers below
// 2^53 are exact): id, subcell, x, v, F, x0, v0, images, type.
constexpr int moved_width = 21;

void exchange_counts(MPI_Comm comm, const std::vector<int>& send_counts, std::vector<int>& send_displs,
                     std::vector<int>& recv_counts, std::vector<int>& recv_displs)
{
    const std::size_t p = send_counts.size();
    recv_counts.assign(p, 0);
    MPI_Alltoall(send_counts.data(), 1, MPI_INT, recv_counts.data(), 1, MPI_INT, comm);
    send_displs.assign(p, 0);
    recv_displs.assign(p, 0);
    for (std::size_t r = 1; r < p; ++r) {
        send_displs[r] = send_displs[r - 1] + send_counts[r - 1];
        recv_displs[r] = recv_displs[r - 1] + recv_counts[r - 1];
    }
}

}  // namespace

void MpiDomain::Neighbourhood::connect(MPI_Comm comm, const std::vector<int>& send_counts,
                                       const std::vector<int>& recv_counts)
{
    release();
    to.clear();
    from.clear();
    for (std::size_t r = 0; r < send_counts.size(); ++r) {
        if (send_counts[r] > 0)
            to.push_back(static_cast<int>(r));
        if (recv_counts[r] > 0)
            from.push_back(static_cast<int>(r));
    }
    MPI_Dist_graph_create_adjacent(comm, static_cast<int>(from.size()), from.data(), MPI_UNWEIGHTED,
                                   static_cast<int>(to.size()), to.data(), MPI_UNWEIGHTED, MPI_INFO_NULL, 0, &graph);
}

void MpiDomain::Neighbourhood::exchange(const double* out, const std::vector<int>& send_counts,
                                        const std::vector<int>& send_displs, double* in,
                                        const std::vector<int>& recv_counts, const std::vector<int>& recv_displs)
{
    const std::vector<int>* full[4] = {&send_counts, &send_displs, &recv_counts, &recv_displs};
    for (int k = 0; k < 4; ++k) {
        const std::vector<int>& ranks = k < 2 ? to : from;
        cut[k].resize(ranks.size());
        for (std::size_t j = 0; j < ranks.size(); ++j)
            cut[k][j] = (*full[k])[static_cast<std::size_t>(ranks[j])];
    }
    MPI_Neighbor_alltoallv(out, cut[0].data(), cut[1].data(), MPI_DOUBLE, in, cut[2].data(), cut[3].data(), MPI_DOUBLE,
                           graph);
}

void MpiDomain::Neighbourhood::release()
{
    int finalized = 0;
    MPI_Finalized(&finalized);
    if (!finalized && graph != MPI_COMM_NULL)
        MPI_Comm_free(&graph);
    graph = MPI_COMM_NULL;
}

MpiDomain::MpiDomain(MPI_Comm given, std::size_t total, std::array<int, 3> grid) : count(total), dims(grid)
{
    MPI_Comm_dup(given, &comm);
    MPI_Comm_rank(comm, &me);
    MPI_Comm_size(comm, &size);
    const bool chosen = grid[0] != 0 || grid[1] != 0 || grid[2] != 0;
    if (chosen && !(grid[0] > 0 && grid[1] > 0 && grid[2] > 0 &&
                    static_cast<long long>(grid[0]) * grid[1] * grid[2] == size)) {
        MPI_Comm_free(&comm);
        std::ostringstream msg;
        msg << "domains = (" << grid[0] << ", " << grid[1] << ", " << grid[2]
            << ") is not allowed: the domains per axis must be positive and multiply to the " << size
            << " processes of the communicator";
        throw std::invalid_argument(msg.str());
    }
}

MpiDomain::~MpiDomain()
{
    ghost_graph.release();
    int finalized = 0;
    MPI_Finalized(&finalized);
    if (!finalized && comm != MPI_COMM_NULL)
        MPI_Comm_free(&comm);
}

void MpiDomain::reduce(std::int64_t* frame)
{
    frame[2] = stop_here ? 1 : 0;
    MPI_Allreduce(MPI_IN_PLACE, frame, frame_words, MPI_INT64_T, MPI_SUM, comm);
    stop_all = stop_all || frame[2] != 0;
    if (frame[0] != 0)
        throw FailedElsewhere("another process refused the step");
}

int MpiDomain::agree_max(int local)
{
    int all = local;
    MPI_Allreduce(&local, &all, 1, MPI_INT, MPI_MAX, comm);
    return all;
}

void MpiDomain::fail()
{
    std::vector<std::int64_t> frame(frame_words, 0);
    frame[0] = 1;
    MPI_Allreduce(MPI_IN_PLACE, frame.data(), frame_words, MPI_INT64_T, MPI_SUM, comm);
}

void MpiDomain::agree_failure(bool failed_here, int& kind, std::string& message)
{
    int candidate = failed_here ? me : size, first = size;
    MPI_Allreduce(&candidate, &first, 1, MPI_INT, MPI_MIN, comm);
    if (first == size)
        return;  // nobody holds a message: the caller's own stands
    int length = static_cast<int>(message.size());
    int head[2] = {kind, length};
    MPI_Bcast(head, 2, MPI_INT, first, comm);
    kind = head[0];
    message.resize(static_cast<std::size_t>(head[1]));
    MPI_Bcast(message.data(), head[1], MPI_CHAR, first, comm);
}

void MpiDomain::sum(ExactSum* sums, int n)
{
    for (int from = 0; from < n; from += frame_sums) {
        std::int64_t frame[frame_words] = {};
        const int here = std::min(frame_sums, n - from);
        for (int s = 0; s < here; ++s) {
            sums[from + s].normalize();
            std::memcpy(frame + frame_head + s * ExactSum::words, sums[from + s].data(), sizeof(std::int64_t) * ExactSum::words);
        }
        reduce(frame);
        for (int s = 0; s < here; ++s)
            std::memcpy(sums[from + s].data(), frame + frame_head + s * ExactSum::words, sizeof(std::int64_t) * ExactSum::words);
    }
}

bool MpiDomain::any(bool local)
{
    std::int64_t frame[frame_words] = {};
    frame[1] = local ? 1 : 0;
    reduce(frame);
    return frame[1] != 0;
}

void MpiDomain::choose_domains(const SubcellLayout& grid)
{
    if (dims[0] != 0)
        return;
    // the factors p_x p_y p_z = size cutting the fewest subcell faces (each cut
    // along k has n_j n_l faces, p_k cuts in a periodic box); an axis of fewer than
    // three subcells, or fewer subcells than domains, is not cut
    double best = -1.0;
    for (int px = 1; px <= size; ++px) {
        if (size % px)
            continue;
        for (int py = 1; py <= size / px; ++py) {
            if ((size / px) % py)
                continue;
            const int p[3] = {px, py, size / px / py};
            bool allowed = true;
            double faces = 0.0;
            for (int k = 0; k < 3; ++k) {
                if (p[k] == 1)
                    continue;
                allowed = allowed && grid.n[k] >= 3 && static_cast<unsigned int>(p[k]) <= grid.n[k];
                faces += p[k] * static_cast<double>(grid.n[(k + 1) % 3]) * grid.n[(k + 2) % 3];
            }
            if (allowed && (best < 0.0 || faces < best)) {
                best = faces;
                dims = {p[0], p[1], p[2]};
            }
        }
    }
    if (best < 0.0) {  // too few subcells for every process: some domains stay empty
        const int k = static_cast<int>(std::max_element(grid.n, grid.n + 3) - grid.n);
        dims = {1, 1, 1};
        dims[static_cast<std::size_t>(k)] = size;
    }
}

std::vector<int> MpiDomain::owners(const SubcellLayout& grid, const std::vector<unsigned int>& subcell_of) const
{
    const unsigned int ny = grid.n[1], nz = grid.n[2];
    const std::vector<int> ox = owners_along(grid.n[0], dims[0]), oy = owners_along(ny, dims[1]),
                           oz = owners_along(nz, dims[2]);
    std::vector<int> out(subcell_of.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        const unsigned int key = subcell_of[i];
        out[i] = (ox[key / nz / ny] * dims[1] + oy[(key / nz) % ny]) * dims[2] + oz[key % nz];
    }
    return out;
}

void MpiDomain::redistribute(const OwnedArrays& owned, const SubcellLayout& grid,
                             const std::vector<unsigned int>& subcell_of, bool replicated,
                             std::vector<Eigen::Vector3d>& ghost_positions, std::vector<std::int32_t>& ghost_types)
{
    std::int64_t frame[frame_words] = {};
    reduce(frame);  // no process failed before the exchanges below
    choose_domains(grid);
    const unsigned int nx = grid.n[0], ny = grid.n[1], nz = grid.n[2];
    const std::vector<int> ox = owners_along(nx, dims[0]), oy = owners_along(ny, dims[1]),
                           oz = owners_along(nz, dims[2]);
    auto owner = [&](unsigned int ix, unsigned int iy, unsigned int iz) {
        return (ox[ix] * dims[1] + oy[iy]) * dims[2] + oz[iz];
    };
    auto split = [&](unsigned int key, unsigned int c[3]) {
        c[2] = key % nz;
        c[1] = (key / nz) % ny;
        c[0] = key / nz / ny;
    };

    // ---- migration: each particle to the owner of its subcell
    const std::size_t held = owned.positions->size();
    const bool mixed = !owned.types->empty();
    const std::vector<int> dest = owners(grid, subcell_of);
    std::vector<int> counts(static_cast<std::size_t>(size), 0), displs, rcounts, rdispls;
    if (!replicated)
        for (std::size_t i = 0; i < held; ++i)
            if (dest[i] != me)
                counts[static_cast<std::size_t>(dest[i])] += moved_width;
    exchange_counts(comm, counts, displs, rcounts, rdispls);
    std::vector<double> out(static_cast<std::size_t>(displs.back() + counts.back()));
    std::vector<int> fill(displs);
    auto pack = [&](std::size_t i, double* o) {
        o[0] = static_cast<double>((*owned.ids)[i]);
        o[1] = static_cast<double>(subcell_of[i]);
        for (int k = 0; k < 3; ++k) {
            o[2 + k] = (*owned.positions)[i][k];
            o[5 + k] = (*owned.velocities)[i][k];
            o[8 + k] = (*owned.forces)[i][k];
            o[11 + k] = (*owned.positions_initial)[i][k];
            o[14 + k] = (*owned.velocities_initial)[i][k];
            o[17 + k] = static_cast<double>((*owned.images)[3 * i + static_cast<std::size_t>(k)]);
        }
        o[20] = mixed ? static_cast<double>((*owned.types)[i]) : 0.0;
    };
    if (!replicated)
        for (std::size_t i = 0; i < held; ++i)
            if (dest[i] != me) {
                pack(i, out.data() + fill[static_cast<std::size_t>(dest[i])]);
                fill[static_cast<std::size_t>(dest[i])] += moved_width;
            }
    std::vector<double> in(static_cast<std::size_t>(rdispls.back() + rcounts.back()));
    {
        Neighbourhood movers;
        movers.connect(comm, counts, rcounts);
        movers.exchange(out.data(), counts, displs, in.data(), rcounts, rdispls);
    }

    // the particles kept and received, in ascending id
    std::vector<double> all;
    for (std::size_t i = 0; i < held; ++i)
        if (dest[i] == me) {
            all.resize(all.size() + moved_width);
            pack(i, all.data() + all.size() - moved_width);
        }
    all.insert(all.end(), in.begin(), in.end());
    const std::size_t mine = all.size() / moved_width;
    std::vector<std::size_t> order(mine);
    std::iota(order.begin(), order.end(), std::size_t(0));
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return all[a * moved_width] < all[b * moved_width]; });
    owned.ids->resize(mine);
    owned.positions->resize(mine);
    owned.velocities->resize(mine);
    owned.forces->resize(mine);
    owned.positions_initial->resize(mine);
    owned.velocities_initial->resize(mine);
    owned.dij_list->assign(mine, Eigen::Vector3d::Zero());  // the build starts them afresh
    owned.images->resize(3 * mine);
    if (mixed)
        owned.types->resize(mine);
    std::vector<unsigned int> key(mine);
    for (std::size_t j = 0; j < mine; ++j) {
        const double* o = all.data() + order[j] * moved_width;
        (*owned.ids)[j] = static_cast<std::uint32_t>(o[0]);
        key[j] = static_cast<unsigned int>(o[1]);
        for (int k = 0; k < 3; ++k) {
            (*owned.positions)[j][k] = o[2 + k];
            (*owned.velocities)[j][k] = o[5 + k];
            (*owned.forces)[j][k] = o[8 + k];
            (*owned.positions_initial)[j][k] = o[11 + k];
            (*owned.velocities_initial)[j][k] = o[14 + k];
            (*owned.images)[3 * j + static_cast<std::size_t>(k)] = static_cast<std::int32_t>(o[17 + k]);
        }
        if (mixed)
            (*owned.types)[j] = static_cast<std::int32_t>(o[20]);
    }
    std::vector<double>().swap(all);  // the packed particles' memory back before the ghosts and the list
    std::vector<double>().swap(in);
    if (replicated) {  // the whole box each process started from: its share's memory alone kept
        owned.ids->shrink_to_fit();
        owned.positions->shrink_to_fit();
        owned.velocities->shrink_to_fit();
        owned.forces->shrink_to_fit();
        owned.positions_initial->shrink_to_fit();
        owned.velocities_initial->shrink_to_fit();
        owned.dij_list->shrink_to_fit();
        owned.images->shrink_to_fit();
        owned.types->shrink_to_fit();
    }

    // ---- ghosts: each particle to every other process owning a subcell next to its own
    std::vector<std::vector<std::size_t>> to(static_cast<std::size_t>(size));
    for (std::size_t j = 0; j < mine; ++j) {
        unsigned int c[3], a[3][3];
        split(key[j], c);
        const int na = around(c[0], nx, a[0]), nb = around(c[1], ny, a[1]), nc = around(c[2], nz, a[2]);
        int targets[27], t = 0;
        for (int u = 0; u < na; ++u)
            for (int v = 0; v < nb; ++v)
                for (int w = 0; w < nc; ++w) {
                    const int r = owner(a[0][u], a[1][v], a[2][w]);
                    if (r != me && std::find(targets, targets + t, r) == targets + t)
                        targets[t++] = r;
                }
        for (int u = 0; u < t; ++u)
            to[static_cast<std::size_t>(targets[u])].push_back(j);
    }
    send_index.clear();
    std::vector<int> gcounts(static_cast<std::size_t>(size), 0);
    for (int r = 0; r < size; ++r) {
        const auto& list = to[static_cast<std::size_t>(r)];
        send_index.insert(send_index.end(), list.begin(), list.end());
        gcounts[static_cast<std::size_t>(r)] = static_cast<int>(list.size());
    }
    std::vector<int> gdispls, grcounts, grdispls;
    exchange_counts(comm, gcounts, gdispls, grcounts, grdispls);
    const std::size_t nr_ghosts = static_cast<std::size_t>(grdispls.back() + grcounts.back());
    // ids and types once, as doubles
    std::vector<double> gout(2 * send_index.size()), gin(2 * nr_ghosts);
    for (std::size_t s = 0; s < send_index.size(); ++s) {
        gout[2 * s] = static_cast<double>((*owned.ids)[send_index[s]]);
        gout[2 * s + 1] = mixed ? static_cast<double>((*owned.types)[send_index[s]]) : 0.0;
    }
    std::vector<int> c2(gcounts), d2(gdispls), rc2(grcounts), rd2(grdispls);
    for (auto* v : {&c2, &d2, &rc2, &rd2})
        for (int& x : *v)
            x *= 2;
    ghost_graph.connect(comm, gcounts, grcounts);
    ghost_graph.exchange(gout.data(), c2, d2, gin.data(), rc2, rd2);
    ghost_from.resize(nr_ghosts);
    std::iota(ghost_from.begin(), ghost_from.end(), std::size_t(0));
    std::sort(ghost_from.begin(), ghost_from.end(), [&](std::size_t a, std::size_t b) { return gin[2 * a] < gin[2 * b]; });
    ghost_id.resize(nr_ghosts);
    for (std::size_t g = 0; g < nr_ghosts; ++g)
        ghost_id[g] = static_cast<std::uint32_t>(gin[2 * ghost_from[g]]);
    ghost_types.assign(mixed ? nr_ghosts : 0, 0);
    if (mixed)
        for (std::size_t g = 0; g < nr_ghosts; ++g)
            ghost_types[g] = static_cast<std::int32_t>(gin[2 * ghost_from[g] + 1]);
    // the refresh moves three coordinates per ghost
    send_counts = gcounts;
    send_displs = gdispls;
    recv_counts = grcounts;
    recv_displs = grdispls;
    for (auto* v : {&send_counts, &send_displs, &recv_counts, &recv_displs})
        for (int& x : *v)
            x *= 3;
    ghost_positions.resize(nr_ghosts);
    refresh(*owned.positions, ghost_positions);
}

void MpiDomain::refresh(const std::vector<Eigen::Vector3d>& positions, std::vector<Eigen::Vector3d>& ghost_positions)
{
    send_buffer.resize(3 * send_index.size());
    for (std::size_t s = 0; s < send_index.size(); ++s)
        for (int k = 0; k < 3; ++k)
            send_buffer[3 * s + static_cast<std::size_t>(k)] = positions[send_index[s]][k];
    recv_buffer.resize(3 * ghost_from.size());
    ghost_graph.exchange(send_buffer.data(), send_counts, send_displs, recv_buffer.data(), recv_counts, recv_displs);
    ghost_positions.resize(ghost_from.size());
    for (std::size_t g = 0; g < ghost_from.size(); ++g)
        for (int k = 0; k < 3; ++k)
            ghost_positions[g][k] = recv_buffer[3 * ghost_from[g] + static_cast<std::size_t>(k)];
}

void MpiDomain::adopt(const OwnedArrays& owned, const SubcellLayout& grid, const std::vector<unsigned int>& subcell_of,
                      std::vector<unsigned int>& list, std::vector<Eigen::Vector3d>& ghost_positions,
                      std::vector<std::int32_t>& ghost_types)
{
    std::int64_t frame[frame_words] = {};
    reduce(frame);  // no process failed before
    choose_domains(grid);
    const std::size_t n = owned.positions->size();
    const bool mixed = !owned.types->empty();
    const std::vector<int> owner = owners(grid, subcell_of);
    auto run = [&](std::size_t i, auto&& visit) {
        for (std::size_t k = list[i]; list[k] != i; ++k)
            visit(list[k]);
    };
    // the slot of each particle named here: the held ones (ascending id), then
    // the ghosts their runs name (ascending id)
    std::vector<std::uint32_t> slot(n, 0), mine;
    std::vector<char> named(n, 0);
    for (std::size_t i = 0; i < n; ++i)
        if (owner[i] == me) {
            slot[i] = static_cast<std::uint32_t>(mine.size());
            mine.push_back(static_cast<std::uint32_t>(i));
            run(i, [&](unsigned int j) { named[j] = owner[j] != me; });
        }
    ghost_id.clear();
    std::vector<int> rcounts(static_cast<std::size_t>(size), 0);
    for (std::size_t j = 0; j < n; ++j)
        if (named[j]) {
            slot[j] = static_cast<std::uint32_t>(mine.size() + ghost_id.size());
            ghost_id.push_back(static_cast<std::uint32_t>(j));
            ++rcounts[static_cast<std::size_t>(owner[j])];
        }
    // what the runs of the others' particles name of mine: (process, id), each once
    std::vector<std::uint64_t> wanted;
    for (std::size_t i = 0; i < n; ++i)
        if (owner[i] != me)
            run(i, [&](unsigned int j) {
                if (owner[j] == me)
                    wanted.push_back((static_cast<std::uint64_t>(owner[i]) << 32) | j);
            });
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    std::vector<int> counts(static_cast<std::size_t>(size), 0);
    send_index.resize(wanted.size());
    for (std::size_t w = 0; w < wanted.size(); ++w) {
        ++counts[wanted[w] >> 32];
        send_index[w] = slot[wanted[w] & 0xffffffffu];
    }
    ghost_graph.connect(comm, counts, rcounts);
    send_counts = counts;
    recv_counts = rcounts;
    send_displs.assign(static_cast<std::size_t>(size), 0);
    recv_displs.assign(static_cast<std::size_t>(size), 0);
    for (std::size_t r = 1; r < static_cast<std::size_t>(size); ++r) {
        send_displs[r] = send_displs[r - 1] + send_counts[r - 1];
        recv_displs[r] = recv_displs[r - 1] + recv_counts[r - 1];
    }
    // each owner sends in ascending id: the place of every ghost in the receive buffer
    std::vector<int> fill(recv_displs);
    ghost_from.resize(ghost_id.size());
    ghost_positions.resize(ghost_id.size());
    ghost_types.assign(mixed ? ghost_id.size() : 0, 0);
    for (std::size_t g = 0; g < ghost_id.size(); ++g) {
        const std::uint32_t j = ghost_id[g];
        ghost_from[g] = static_cast<std::size_t>(fill[static_cast<std::size_t>(owner[j])]++);
        ghost_positions[g] = (*owned.positions)[j];
        if (mixed)
            ghost_types[g] = (*owned.types)[j];
    }
    for (auto* v : {&send_counts, &send_displs, &recv_counts, &recv_displs})
        for (int& x : *v)
            x *= 3;

    // the list of the held particles in their slots
    std::vector<unsigned int> local(mine.size());
    for (std::size_t s = 0; s < mine.size(); ++s) {
        local[s] = static_cast<unsigned int>(local.size());
        run(mine[s], [&](unsigned int j) { local.push_back(slot[j]); });
        local.push_back(static_cast<unsigned int>(s));
    }
    list.swap(local);

    // the held particles' arrays, everything as saved
    auto keep = [&](auto& v, std::size_t width) {
        using V = std::decay_t<decltype(v)>;
        V kept(width * mine.size());
        for (std::size_t s = 0; s < mine.size(); ++s)
            std::copy_n(v.begin() + static_cast<std::ptrdiff_t>(width * mine[s]), width,
                        kept.begin() + static_cast<std::ptrdiff_t>(width * s));
        v.swap(kept);
    };
    keep(*owned.positions, 1);
    keep(*owned.velocities, 1);
    keep(*owned.forces, 1);
    keep(*owned.dij_list, 1);
    keep(*owned.positions_initial, 1);
    keep(*owned.velocities_initial, 1);
    keep(*owned.images, 3);
    if (mixed)
        keep(*owned.types, 1);
    *owned.ids = mine;
}

namespace {

template <typename T>
std::vector<T> gather_in_order(MPI_Comm comm, int size, const std::vector<std::uint32_t>& ids, const T* values,
                               int width, MPI_Datatype type, std::size_t total, bool root_only)
{
    int held = static_cast<int>(ids.size()), me = 0;
    MPI_Comm_rank(comm, &me);
    std::vector<int> counts(static_cast<std::size_t>(size)), displs(static_cast<std::size_t>(size), 0);
    if (root_only)
        MPI_Gather(&held, 1, MPI_INT, counts.data(), 1, MPI_INT, 0, comm);
    else
        MPI_Allgather(&held, 1, MPI_INT, counts.data(), 1, MPI_INT, comm);
    for (int r = 1; r < size; ++r)
        displs[static_cast<std::size_t>(r)] = displs[static_cast<std::size_t>(r) - 1] + counts[static_cast<std::size_t>(r) - 1];
    const std::size_t all = static_cast<std::size_t>(displs.back() + counts.back());
    const bool here = !root_only || me == 0;
    std::vector<std::uint32_t> every_id(here ? all : 0);
    std::vector<T> every(here ? all * static_cast<std::size_t>(width) : 0);
    if (root_only) {
        MPI_Gatherv(ids.data(), held, MPI_UINT32_T, every_id.data(), counts.data(), displs.data(), MPI_UINT32_T, 0,
                    comm);
    } else {
        MPI_Allgatherv(ids.data(), held, MPI_UINT32_T, every_id.data(), counts.data(), displs.data(), MPI_UINT32_T,
                       comm);
    }
    for (auto* v : {&counts, &displs})
        for (int& x : *v)
            x *= width;
    if (root_only)
        MPI_Gatherv(values, held * width, type, every.data(), counts.data(), displs.data(), type, 0, comm);
    else
        MPI_Allgatherv(values, held * width, type, every.data(), counts.data(), displs.data(), type, comm);
    if (!here)
        return {};
    std::vector<T> out(total * static_cast<std::size_t>(width));
    for (std::size_t j = 0; j < all; ++j)
        std::copy_n(every.data() + j * static_cast<std::size_t>(width), width,
                    out.data() + every_id[j] * static_cast<std::size_t>(width));
    return out;
}

}  // namespace

std::vector<double> MpiDomain::gather(const std::vector<std::uint32_t>& ids, const double* values, int width) const
{
    return gather_in_order(comm, size, ids, values, width, MPI_DOUBLE, count, false);
}

std::vector<std::int32_t> MpiDomain::gather(const std::vector<std::uint32_t>& ids, const std::int32_t* values,
                                            int width) const
{
    return gather_in_order(comm, size, ids, values, width, MPI_INT32_T, count, false);
}

std::vector<double> MpiDomain::gather_root(const std::vector<std::uint32_t>& ids, const double* values,
                                           int width) const
{
    return gather_in_order(comm, size, ids, values, width, MPI_DOUBLE, count, true);
}

std::vector<std::int32_t> MpiDomain::gather_root(const std::vector<std::uint32_t>& ids, const std::int32_t* values,
                                                 int width) const
{
    return gather_in_order(comm, size, ids, values, width, MPI_INT32_T, count, true);
}

std::vector<unsigned int> MpiDomain::gather_list(const std::vector<std::uint32_t>& ids,
                                                 const std::vector<unsigned int>& list) const
{
    // each held particle's run in ids, and its length
    const std::size_t held = ids.size();
    std::vector<std::int32_t> length(held);
    std::vector<unsigned int> entries;
    for (std::size_t s = 0; s < held; ++s) {
        const std::size_t from = entries.size();
        for (std::size_t k = list[s]; list[k] != s; ++k)
            entries.push_back(list[k] < held ? ids[list[k]] : ghost_id[list[k] - held]);
        length[s] = static_cast<std::int32_t>(entries.size() - from);
    }
    const std::vector<std::int32_t> lengths = gather_root(ids, length.data(), 1);
    // the runs one process after the other, then put in id order
    int mine = static_cast<int>(entries.size());
    std::vector<int> counts(static_cast<std::size_t>(size)), displs(static_cast<std::size_t>(size), 0);
    MPI_Gather(&mine, 1, MPI_INT, counts.data(), 1, MPI_INT, 0, comm);
    std::vector<int> held_counts(static_cast<std::size_t>(size));
    int held_here = static_cast<int>(held);
    MPI_Gather(&held_here, 1, MPI_INT, held_counts.data(), 1, MPI_INT, 0, comm);
    std::vector<std::uint32_t> every_id;
    std::vector<int> id_displs(static_cast<std::size_t>(size), 0);
    for (int r = 1; r < size; ++r) {
        displs[static_cast<std::size_t>(r)] = displs[static_cast<std::size_t>(r) - 1] + counts[static_cast<std::size_t>(r) - 1];
        id_displs[static_cast<std::size_t>(r)] =
            id_displs[static_cast<std::size_t>(r) - 1] + held_counts[static_cast<std::size_t>(r) - 1];
    }
    if (me == 0)
        every_id.resize(count);
    MPI_Gatherv(ids.data(), held_here, MPI_UINT32_T, every_id.data(), held_counts.data(), id_displs.data(),
                MPI_UINT32_T, 0, comm);
    std::vector<unsigned int> every(me == 0 ? static_cast<std::size_t>(displs.back() + counts.back()) : 0);
    MPI_Gatherv(entries.data(), mine, MPI_UNSIGNED, every.data(), counts.data(), displs.data(), MPI_UNSIGNED, 0, comm);
    if (me != 0)
        return {};
    // where each particle's run starts in `every` (processes in order, each in its held order)
    std::vector<std::size_t> at(count);
    std::size_t pos = 0;
    for (std::size_t j = 0; j < count; ++j) {
        const std::uint32_t id = every_id[j];
        at[id] = pos;
        pos += static_cast<std::size_t>(lengths[id]);
    }
    std::vector<unsigned int> out(count);
    out.reserve(count + every.size() + count);
    for (std::size_t id = 0; id < count; ++id) {
        out[id] = static_cast<unsigned int>(out.size());
        out.insert(out.end(), every.begin() + static_cast<std::ptrdiff_t>(at[id]),
                   every.begin() + static_cast<std::ptrdiff_t>(at[id] + static_cast<std::size_t>(lengths[id])));
        out.push_back(static_cast<unsigned int>(id));
    }
    return out;
}
