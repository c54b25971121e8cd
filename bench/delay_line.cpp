// delay_line: a wide-area link between two network namespaces, in user
// space, for machines whose kernel has no netem. It creates one TUN device
// in each namespace and moves every packet from one to the other after a
// fixed one-way delay (half the round trip), optionally through a bottleneck
// of a given rate with a bounded queue (drop-tail, as a router does). The
// kernels' TCP on either side then sees a true round trip, slow start and
// losses included.
//
//   delay_line --netns-a NS --dev-a NAME --netns-b NS --dev-b NAME
//              [--rtt-ms MS] [--rate-mbit MBIT] [--queue-bytes BYTES] [--max-seconds S]
//
// Prints "ready" once both devices exist (the caller gives them addresses
// and brings them up). Commands on standard input, one per line:
//   stats                      prints "<a to b bytes> <b to a bytes> <packets dropped>"
//   set RTT_US RATE_BPS QUEUE  changes the link for the packets that follow (rate 0: unlimited)
// Exits on end of input (so it never outlives its caller), on SIGINT or
// SIGTERM, and after --max-seconds whatever happens. The devices disappear
// with it.
//
// One thread moves packets one at a time: on two cores this tops out near
// 170 MB/s, which is the link's ceiling when no rate is set.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kSlotBytes = 2048;  // MTU 1500 packets fit, without IFF_NO_PI header
constexpr std::size_t kSlots = 32768;     // per direction: 48 MB in flight, more than 170 MB/s x 150 ms
constexpr int kBatch = 64;                // packets read from one device before the other gets a turn

volatile sig_atomic_t stopRequested = 0;

void OnStop(int) {
    stopRequested = 1;
}

std::int64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "delay_line: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

struct Link {
    std::int64_t oneWayNs = 0;
    std::int64_t rateBitsPerSecond = 0;  // 0: no bottleneck
    std::int64_t queueBytes = 0;
};

// One direction: packets wait here until their delivery time. Delivery
// times never decrease (the delay is the same for all and the bottleneck
// serves in order), so a ring in arrival order is also in delivery order.
class Direction {
public:
    Direction() : slots_(kSlots * kSlotBytes), due_(kSlots), length_(kSlots) {}

    bool Full() const { return count_ == kSlots; }
    bool Empty() const { return count_ == 0; }
    std::int64_t NextDue() const { return due_[head_]; }

    // The next free slot, to read a packet straight into.
    unsigned char* Tail() { return &slots_[((head_ + count_) % kSlots) * kSlotBytes]; }

    // Queues the packet just read into Tail(), or drops it when the
    // bottleneck's queue is full.
    void Accept(std::size_t length, std::int64_t now, const Link& link) {
        std::int64_t departure = now;
        if (link.rateBitsPerSecond > 0) {
            const std::int64_t start = linkFreeAt_ > now ? linkFreeAt_ : now;
            const std::int64_t backlogBytes = (start - now) * link.rateBitsPerSecond / 8 / 1000000000;
            if (backlogBytes > link.queueBytes) {
                ++dropped;
                return;
            }
            linkFreeAt_ = start + static_cast<std::int64_t>(length) * 8 * 1000000000 / link.rateBitsPerSecond;
            departure = linkFreeAt_;
        }
        const std::size_t slot = (head_ + count_) % kSlots;
        due_[slot] = departure + link.oneWayNs;
        length_[slot] = static_cast<std::uint16_t>(length);
        ++count_;
    }

    // Writes every packet that is due into the other device.
    void Deliver(int out, std::int64_t now) {
        while (count_ > 0 && due_[head_] <= now) {
            const ssize_t written = write(out, &slots_[head_ * kSlotBytes], length_[head_]);
            if (written > 0) {
                bytes += static_cast<std::uint64_t>(written);
            } else {
                ++dropped;  // the receiving kernel's backlog was full: a loss, as on a real link
            }
            head_ = (head_ + 1) % kSlots;
            --count_;
        }
    }

    std::uint64_t bytes = 0;
    std::uint64_t dropped = 0;

private:
    std::vector<unsigned char> slots_;
    std::vector<std::int64_t> due_;
    std::vector<std::uint16_t> length_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    std::int64_t linkFreeAt_ = 0;
};

// Creates a TUN device inside the named namespace (a device belongs to the
// namespace its /dev/net/tun was opened in) and comes back to our own.
int OpenTunIn(const std::string& netns, const std::string& name) {
    const int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    if (home < 0 || target < 0) Die("network namespace " + netns);
    if (setns(target, CLONE_NEWNET) != 0) Die("setns " + netns);
    const int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) Die("/dev/net/tun");
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::snprintf(request.ifr_name, IFNAMSIZ, "%s", name.c_str());
    if (ioctl(fd, TUNSETIFF, &request) != 0) Die("TUNSETIFF " + name);
    if (setns(home, CLONE_NEWNET) != 0) Die("setns back");
    close(home);
    close(target);
    return fd;
}

// Reads up to a batch of packets from one device into its direction.
void Receive(int in, Direction& direction, const Link& link) {
    for (int i = 0; i < kBatch && !direction.Full(); ++i) {
        const ssize_t length = read(in, direction.Tail(), kSlotBytes);
        if (length <= 0) return;  // EAGAIN: nothing more for now
        direction.Accept(static_cast<std::size_t>(length), NowNs(), link);
    }
}

Link LinkOf(double rttMs, double rateMbit, std::int64_t queueBytes) {
    Link link;
    link.oneWayNs = static_cast<std::int64_t>(rttMs * 1e6 / 2);
    link.rateBitsPerSecond = static_cast<std::int64_t>(rateMbit * 1e6);
    link.queueBytes = queueBytes;
    return link;
}

// Handles the complete lines waiting on standard input; false at its end.
bool ReadCommands(std::string& pending, Link& link, const Direction& ab, const Direction& ba) {
    char buffer[512];
    const ssize_t got = read(0, buffer, sizeof buffer);
    if (got <= 0) return got < 0 && errno == EINTR;
    pending.append(buffer, static_cast<std::size_t>(got));
    std::size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        long long rttUs = 0, rate = 0, queue = 0;
        if (line == "stats") {
            std::printf("%llu %llu %llu\n", static_cast<unsigned long long>(ab.bytes),
                        static_cast<unsigned long long>(ba.bytes),
                        static_cast<unsigned long long>(ab.dropped + ba.dropped));
        } else if (std::sscanf(line.c_str(), "set %lld %lld %lld", &rttUs, &rate, &queue) == 3) {
            link.oneWayNs = rttUs * 1000 / 2;
            link.rateBitsPerSecond = rate;
            link.queueBytes = queue;
            std::printf("ok\n");
        } else {
            std::printf("unknown command\n");
        }
        std::fflush(stdout);
    }
    return true;
}

const char* Option(int argc, char** argv, const char* name, const char* fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
    }
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const char* netnsA = Option(argc, argv, "--netns-a", nullptr);
    const char* netnsB = Option(argc, argv, "--netns-b", nullptr);
    if (!netnsA || !netnsB) {
        std::fprintf(stderr,
                     "usage: delay_line --netns-a NS --dev-a NAME --netns-b NS --dev-b NAME [--rtt-ms MS]\n"
                     "                  [--rate-mbit MBIT] [--queue-bytes BYTES] [--max-seconds S]\n");
        return 2;
    }
    const std::string devA = Option(argc, argv, "--dev-a", "wana");
    const std::string devB = Option(argc, argv, "--dev-b", "wanb");
    Link link = LinkOf(std::atof(Option(argc, argv, "--rtt-ms", "0")),
                       std::atof(Option(argc, argv, "--rate-mbit", "0")),
                       std::atoll(Option(argc, argv, "--queue-bytes", "1000000")));
    const double maxSeconds = std::atof(Option(argc, argv, "--max-seconds", "3600"));

    // Whatever happens to the caller, the link goes with it, and never
    // lasts beyond its time limit even if the loop below were stuck.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    alarm(static_cast<unsigned>(maxSeconds) + 10);
    sigset_t stopSignals, waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    struct sigaction action {};
    action.sa_handler = OnStop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const int tunA = OpenTunIn(netnsA, devA);
    const int tunB = OpenTunIn(netnsB, devB);
    Direction ab, ba;
    std::printf("ready\n");
    std::fflush(stdout);

    const std::int64_t deadline = NowNs() + static_cast<std::int64_t>(maxSeconds * 1e9);
    std::string pending;
    while (!stopRequested) {
        std::int64_t now = NowNs();
        if (now >= deadline) {
            std::fprintf(stderr, "delay_line: time limit reached\n");
            break;
        }
        ab.Deliver(tunB, now);
        ba.Deliver(tunA, now);
        std::int64_t wake = deadline;
        if (!ab.Empty() && ab.NextDue() < wake) wake = ab.NextDue();
        if (!ba.Empty() && ba.NextDue() < wake) wake = ba.NextDue();
        // A full direction stops reading its device: the kernel's queue in
        // front of it then drops, as a router's full buffer does.
        pollfd fds[3] = {{0, POLLIN, 0},
                         {tunA, static_cast<short>(ab.Full() ? 0 : POLLIN), 0},
                         {tunB, static_cast<short>(ba.Full() ? 0 : POLLIN), 0}};
        const std::int64_t waitNs = wake > now ? wake - now : 0;
        const timespec timeout{static_cast<time_t>(waitNs / 1000000000),
                               static_cast<long>(waitNs % 1000000000)};
        if (ppoll(fds, 3, &timeout, &waitMask) < 0) {
            if (errno == EINTR) continue;
            Die("ppoll");
        }
        if (fds[1].revents & POLLIN) Receive(tunA, ab, link);
        if (fds[2].revents & POLLIN) Receive(tunB, ba, link);
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            if (!ReadCommands(pending, link, ab, ba)) break;
        }
    }
    close(tunA);
    close(tunB);
    return 0;
}
