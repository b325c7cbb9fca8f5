// The socket an outside program reaches a line's D channel through: what it replaces
// and what it leaves alone at its path, one program at a time, frames held until the
// line can take them, and the B channels' echo.
#include "sim/far/socket_peer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;
constexpr uint32_t kD = 1u << 24;

fs::path temp_dir()
{
    char tmpl[] = "/tmp/vornet-speer-XXXXXX";
    return fs::path(mkdtemp(tmpl));
}

int connect_to(const std::string& path)
{
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A socket file nobody listens on: bound, then closed.
void leave_stale_socket(const std::string& path)
{
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
}

std::string read_text(const fs::path& p)
{
    std::ifstream in(p);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Fixture {
    plat::Scheduler sched;
    sim::Line line{0};
    fs::path dir = temp_dir();
    std::string path = (dir / "d.sock").string();
    ~Fixture() { fs::remove_all(dir); }
};

TEST(SocketPeer, ReplacesOnlyAStaleSocketAtItsPath)
{
    struct Case {
        const char* name;
        int what;  // 0 nothing, 1 a text file, 2 a stale socket, 3 a directory, 4 another peer listening
        bool listens;
        const char* why;
    };
    const Case cases[] = {
        {"nothing there", 0, true, ""},
        {"a text file", 1, false, "exists and is not a socket"},
        {"a socket nobody listens on", 2, true, ""},
        {"a directory", 3, false, "exists and is not a socket"},
        {"another run's socket", 4, false, "is in use by another program"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        std::unique_ptr<sim::SocketPeer> other;
        if (c.what == 1) std::ofstream(f.path) << "keep me\n";
        if (c.what == 2) leave_stale_socket(f.path);
        if (c.what == 3) fs::create_directory(f.path);
        if (c.what == 4) {
            other = std::make_unique<sim::SocketPeer>(f.sched, f.line, kD);
            ASSERT_TRUE(other->listen(f.path, nullptr));
        }
        std::string why;
        {
            sim::SocketPeer peer(f.sched, f.line, kD);
            EXPECT_EQ(peer.listen(f.path, &why), c.listens) << why;
            EXPECT_NE(why.find(c.why), std::string::npos) << why;
            if (c.listens) {
                int fd = connect_to(f.path);
                EXPECT_GE(fd, 0);
                if (fd >= 0) ::close(fd);
            }
        }
        // What was there stays; our own socket goes with us.
        if (c.what == 1) {
            EXPECT_EQ(read_text(f.path), "keep me\n");
        }
        if (c.what == 3) {
            EXPECT_TRUE(fs::is_directory(f.path));
        }
        if (c.what == 4) {
            int fd = connect_to(f.path);
            EXPECT_GE(fd, 0) << "the first run's socket still answers";
            if (fd >= 0) ::close(fd);
        }
        if (c.what == 0 || c.what == 2) {
            EXPECT_FALSE(fs::exists(fs::symlink_status(f.path)));
        }
    }
}

TEST(SocketPeer, LeavesASocketFileBoundSinceByAnotherRun)
{
    Fixture f;
    auto first = std::make_unique<sim::SocketPeer>(f.sched, f.line, kD);
    ASSERT_TRUE(first->listen(f.path, nullptr));
    // The file is removed under the first run and another binds the path.
    fs::remove(f.path);
    sim::Line line2(1);
    sim::SocketPeer second(f.sched, line2, kD);
    ASSERT_TRUE(second.listen(f.path, nullptr));
    first.reset();
    int fd = connect_to(f.path);
    EXPECT_GE(fd, 0) << "the second run's socket is still there";
    if (fd >= 0) ::close(fd);
}

TEST(SocketPeer, TakesOneProgramOnceReadyAndRefusesASecond)
{
    Fixture f;
    std::vector<std::vector<uint8_t>> to_adapter;
    f.line.on_frame_to_adapter([&](uint32_t m, const std::vector<uint8_t>& fr) {
        if (m == kD) to_adapter.push_back(fr);
    });
    sim::SocketPeer peer(f.sched, f.line, kD);
    bool ready = false;
    peer.set_ready([&] { return ready; });
    std::vector<std::string> notices;
    peer.on_notice([&](const std::string& n) { notices.push_back(n); });
    ASSERT_TRUE(peer.listen(f.path, nullptr));

    int a = connect_to(f.path);
    ASSERT_GE(a, 0);
    const std::vector<uint8_t> sabme = {0x02, 0x01, 0x7F};
    ASSERT_EQ(::send(a, sabme.data(), sabme.size(), 0), 3);
    peer.poll();
    EXPECT_TRUE(to_adapter.empty()) << "the line cannot take it yet: it waits";
    EXPECT_FALSE(peer.connected());

    ready = true;
    peer.poll();
    ASSERT_EQ(to_adapter.size(), 1u) << "sent before the line was ready, delivered once it is";
    EXPECT_EQ(to_adapter[0], sabme);

    int b = connect_to(f.path);
    ASSERT_GE(b, 0);
    peer.poll();
    uint8_t buf[16];
    for (int i = 0; i < 100 && ::recv(b, buf, sizeof buf, 0) < 0 && errno == EAGAIN; i++) usleep(1000);
    EXPECT_EQ(::recv(b, buf, sizeof buf, 0), 0) << "the second program's connection is closed";
    EXPECT_EQ(peer.counters().programs_refused, 1u);
    EXPECT_EQ(peer.counters().connections, 1u);
    ASSERT_FALSE(notices.empty());
    EXPECT_NE(notices.back().find("refused"), std::string::npos);

    // The first one still carries frames both ways.
    f.line.frame_from_adapter(kD, {0x02, 0x01, 0x73});
    EXPECT_EQ(peer.counters().to_peer, 1u);
    ::close(b);
    ::close(a);
}

// Datagrams no frame fits (empty, one octet, longer than a frame) are refused and counted;
// the program stays connected and its next frame goes through. Only its going away ends it.
TEST(SocketPeer, RefusesDatagramsNoFrameFitsAndKeepsTheProgram)
{
    Fixture f;
    std::vector<std::vector<uint8_t>> to_adapter;
    f.line.on_frame_to_adapter([&](uint32_t m, const std::vector<uint8_t>& fr) {
        if (m == kD) to_adapter.push_back(fr);
    });
    sim::SocketPeer peer(f.sched, f.line, kD);
    std::vector<std::string> notices;
    peer.on_notice([&](const std::string& n) { notices.push_back(n); });
    ASSERT_TRUE(peer.listen(f.path, nullptr));
    int a = connect_to(f.path);
    ASSERT_GE(a, 0);
    const std::vector<uint8_t> empty, one(1, 0x02), long_one(sim::SocketPeer::kMaxFrame + 1, 0x02),
        sabme = {0x02, 0x01, 0x7F};
    for (const auto* d : {&empty, &one, &long_one, &sabme}) ASSERT_EQ(::send(a, d->data(), d->size(), 0), ssize_t(d->size()));
    peer.poll();
    EXPECT_EQ(peer.counters().refused, 3u);
    EXPECT_TRUE(peer.connected()) << "an empty datagram is not the program going away";
    ASSERT_EQ(to_adapter.size(), 1u);
    EXPECT_EQ(to_adapter[0], sabme);
    // Again, after the socket had nothing more for a while.
    ASSERT_EQ(::send(a, empty.data(), 0, 0), 0);
    peer.poll();
    EXPECT_EQ(peer.counters().refused, 4u);
    EXPECT_TRUE(peer.connected());
    ::close(a);
    peer.poll();
    EXPECT_FALSE(peer.connected());
    ASSERT_FALSE(notices.empty());
    EXPECT_NE(notices.back().find("went away"), std::string::npos);
}

TEST(SocketPeer, EchoesWhatTheAdapterSendsOnABChannel)
{
    Fixture f;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> to_adapter;
    f.line.on_frame_to_adapter([&](uint32_t m, const std::vector<uint8_t>& fr) { to_adapter.push_back({m, fr}); });
    auto peer = std::make_unique<sim::SocketPeer>(f.sched, f.line, kD);
    EXPECT_TRUE(peer->is_bearer_channel(1));
    EXPECT_TRUE(peer->is_bearer_channel(23));
    EXPECT_FALSE(peer->is_bearer_channel(24));
    EXPECT_FALSE(peer->is_bearer_channel(0));
    f.line.frame_from_adapter(1u << 5, {1, 2, 3});
    f.sched.run_for(plat::ms(10));
    ASSERT_EQ(to_adapter.size(), 1u);
    EXPECT_EQ(to_adapter[0].first, 1u << 5);
    EXPECT_EQ(to_adapter[0].second, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(peer->counters().echoed, 1u);
    // An echo still on its way when the peer goes is not delivered.
    f.line.frame_from_adapter(1u << 6, {4});
    peer.reset();
    f.sched.run_for(plat::ms(10));
    EXPECT_EQ(to_adapter.size(), 1u);
}

}  // namespace
