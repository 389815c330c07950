// The processes of an MPI communicator sharing one box (exchange.h).
//
// Domains: the subcell grid of the list is cut along each axis into p_k ranges
// of whole subcells (p_x p_y p_z = the number of processes), chosen to cut the
// fewest subcell faces; an axis of fewer than three subcells is not cut. Domain
// (a, b, c) is process (a p_y + b) p_z + c of the communicator. When a later
// grid has fewer subcells along an axis than domains, some domains are empty.
//
// Every collective of a step goes through one frame of int64 words reduced by
// MPI_SUM: a failure count, a flag count, a stop count and up to three exact
// sums. The stop count carries a process's wish to end the run (Ctrl-C) to all
// of them at the next frame, at no cost of its own. A process
// whose step raised takes part in the next frame with its failure counted
// (fail()); the others raise FailedElsewhere from that frame, and all agree on
// the message (agree_failure) before the exception leaves the step. Point-to-point
// exchanges (ghosts, migration) start only after a frame that found no failure.
//
// The ghosts and the migrating particles travel between neighbours only: each
// exchange runs on a distributed graph of the processes it sends to and
// receives from (MPI_Neighbor_alltoallv), made at each list build; the
// reductions stay on the whole communicator.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <mpi.h>

#include "exchange.h"

class MpiDomain : public Exchange {
public:
    // `comm` duplicated; `total` particles; `grid` the domains per axis, zeros: chosen at the first build.
    MpiDomain(MPI_Comm comm, std::size_t total, std::array<int, 3> grid);
    ~MpiDomain() override;
    MpiDomain(const MpiDomain&) = delete;
    MpiDomain& operator=(const MpiDomain&) = delete;

    std::size_t total() const override { return count; }
    void sum(ExactSum* sums, int count) override;
    bool any(bool local) override;
    void redistribute(const OwnedArrays& owned, const SubcellLayout& grid, const std::vector<unsigned int>& subcell_of,
                      bool replicated, std::vector<Eigen::Vector3d>& ghost_positions,
                      std::vector<std::int32_t>& ghost_types) override;
    void refresh(const std::vector<Eigen::Vector3d>& positions,
                 std::vector<Eigen::Vector3d>& ghost_positions) override;
    void adopt(const OwnedArrays& owned, const SubcellLayout& grid, const std::vector<unsigned int>& subcell_of,
               std::vector<unsigned int>& list, std::vector<Eigen::Vector3d>& ghost_positions,
               std::vector<std::int32_t>& ghost_types) override;

    int rank() const { return me; }
    int ranks() const { return size; }
    std::array<int, 3> domains() const { return dims; }
    MPI_Comm communicator() const { return comm; }

    // This process left a step with an exception: its failure joins the frame
    // the others are waiting in.
    void fail();
    // After a failure anywhere: the kind and message of the lowest failed
    // process, the same on all (kind: the caller's code for the exception type).
    void agree_failure(bool failed_here, int& kind, std::string& message);

    // Per-particle values (`width` doubles each, held particles in `ids` order)
    // gathered on every process in global order: N x width.
    std::vector<double> gather(const std::vector<std::uint32_t>& ids, const double* values, int width) const;
    // The same for 32-bit integers.
    std::vector<std::int32_t> gather(const std::vector<std::uint32_t>& ids, const std::int32_t* values,
                                     int width) const;

    // The same on process 0 only, the others get nothing (a checkpoint's arrays).
    std::vector<double> gather_root(const std::vector<std::uint32_t>& ids, const double* values, int width) const;
    std::vector<std::int32_t> gather_root(const std::vector<std::uint32_t>& ids, const std::int32_t* values,
                                          int width) const;
    // The neighbour list of the held particles (`list`: their runs over held
    // slots, then ghosts) on process 0 as one process lays it out: N start
    // offsets, then the runs in id order in ids; nothing on the others.
    std::vector<unsigned int> gather_list(const std::vector<std::uint32_t>& ids,
                                          const std::vector<unsigned int>& list) const;
    // Global ids of the ghosts, ascending.
    const std::vector<std::uint32_t>& ghost_ids() const { return ghost_id; }

    // Stopping a run together: a process asks (request_stop) and from the next
    // frame on every process sees stop_agreed(); reset_stop() at the start of a
    // run (on every process).
    void request_stop() { stop_here = true; }
    bool stop_agreed() const { return stop_all; }
    void reset_stop() { stop_here = stop_all = false; }
    // The largest of `local` over the processes (collective).
    int agree_max(int local);

    // Bytes sent by this process in the latest ghost refresh, and ghosts held.
    std::size_t refresh_bytes() const { return 3 * sizeof(double) * send_index.size(); }

private:
    // The processes one exchange talks with, as a distributed graph: those
    // with something to send to, and to receive from.
    class Neighbourhood {
    public:
        Neighbourhood() = default;
        ~Neighbourhood() { release(); }
        Neighbourhood(const Neighbourhood&) = delete;
        Neighbourhood& operator=(const Neighbourhood&) = delete;
        // The graph of the nonzero counts of the whole communicator.
        void connect(MPI_Comm comm, const std::vector<int>& send_counts, const std::vector<int>& recv_counts);
        // Doubles exchanged with counts and offsets given for the whole communicator.
        void exchange(const double* out, const std::vector<int>& send_counts, const std::vector<int>& send_displs,
                      double* in, const std::vector<int>& recv_counts, const std::vector<int>& recv_displs);
        void release();

    private:
        MPI_Comm graph = MPI_COMM_NULL;
        std::vector<int> to, from;  // ranks, ascending: the graph's order of neighbours
        std::vector<int> cut[4];    // counts and offsets for them
    };

    static constexpr int frame_sums = 3;
    static constexpr int frame_head = 3;  // failures, flags, stops
    static constexpr int frame_words = frame_head + frame_sums * ExactSum::words;
    // Reduces `frame` over all processes; FailedElsewhere when a process failed.
    void reduce(std::int64_t* frame);
    void choose_domains(const SubcellLayout& grid);
    // The domain of each held particle from its subcell key on `grid`.
    std::vector<int> owners(const SubcellLayout& grid, const std::vector<unsigned int>& subcell_of) const;

    MPI_Comm comm = MPI_COMM_NULL;
    int me = 0, size = 1;
    std::size_t count = 0;
    std::array<int, 3> dims{0, 0, 0};
    // the ghost refresh: held particles sent, per process; ghosts received, the
    // place of each (in ascending id) in the receive buffer
    std::vector<std::size_t> send_index;
    std::vector<int> send_counts, send_displs, recv_counts, recv_displs;
    std::vector<std::size_t> ghost_from;
    std::vector<std::uint32_t> ghost_id;
    Neighbourhood ghost_graph;  // the refresh's
    bool stop_here = false, stop_all = false;
    std::vector<double> send_buffer, recv_buffer;
};
