// How much time this machine takes away from a thread that never sleeps:
// each of THREADS threads reads the clock for SECONDS seconds and adds up
// the gaps between two readings longer than 200 us, which only the machine
// underneath (a hypervisor taking the virtual CPU away, an interrupt storm)
// can make. A job that waits 11 ms for each answer and loses a few of them
// that way loses that share of the line.
//   stall_probe THREADS SECONDS
// Prints one line: the threads, the time lost (ms, summed over the
// threads), the gaps counted and the longest gap (us).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStall = std::chrono::microseconds(200);

struct Stalls {
    Clock::duration lost{};
    Clock::duration longest{};
    unsigned long count = 0;
};

void Probe(Clock::duration length, Stalls& stalls)
{
    Clock::time_point start = Clock::now(), previous = start, now;
    while ((now = Clock::now()) - start < length) {
        Clock::duration gap = now - previous;
        if (gap > kStall) {
            stalls.lost += gap;
            ++stalls.count;
            if (gap > stalls.longest) stalls.longest = gap;
        }
        previous = now;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || std::atoi(argv[1]) < 1 || std::atof(argv[2]) <= 0) {
        std::fprintf(stderr, "usage: stall_probe THREADS SECONDS\n");
        return 2;
    }
    const unsigned threads = unsigned(std::atoi(argv[1]));
    const auto length = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::atof(argv[2])));
    std::vector<Stalls> stalls(threads);
    std::vector<std::thread> running;
    for (unsigned i = 0; i < threads; ++i) running.emplace_back(Probe, length, std::ref(stalls[i]));
    Stalls all;
    for (unsigned i = 0; i < threads; ++i) {
        running[i].join();
        all.lost += stalls[i].lost;
        all.count += stalls[i].count;
        if (stalls[i].longest > all.longest) all.longest = stalls[i].longest;
    }
    using std::chrono::duration_cast;
    std::printf("%u\t%.1f\t%lu\t%.0f\n", threads,
                double(duration_cast<std::chrono::microseconds>(all.lost).count()) / 1000.0, all.count,
                double(duration_cast<std::chrono::microseconds>(all.longest).count()));
    return 0;
}
