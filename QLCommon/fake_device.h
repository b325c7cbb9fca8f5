// Tests: a driver device in the run's root that hands every management record to a
// handler and returns it as the handler leaves it.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "QLCommon/IOCTLMethod.h"
#include "platform/win32/wire.h"

// A driver device in the root: every management record is handed to the handler and
// returned as it leaves it.
class FakeDevice {
public:
    using Handler = std::function<void(BackdoorRequest&)>;
    FakeDevice(const std::filesystem::path& root, const std::string& name, Handler handler) : m_Handler(std::move(handler))
    {
        m_Listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::string p = (root / name).string();
        std::memcpy(a.sun_path, p.c_str(), p.size() + 1);
        EXPECT_EQ(::bind(m_Listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(m_Listener, 8), 0);
        m_Thread = std::thread([this] { Serve(); });
    }
    ~FakeDevice()
    {
        m_Stop = true;
        m_Thread.join();
        for (int fd : m_Connections) ::close(fd);
        ::close(m_Listener);
    }
    int Requests() const { return m_Requests.load(); }

private:
    void Serve()
    {
        std::vector<uint8_t> buffer(vornet::wire::kMaxTransfer * 2 + 64);
        while (!m_Stop) {
            std::vector<pollfd> fds{{m_Listener, POLLIN, 0}};
            for (int fd : m_Connections) fds.push_back({fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 10) <= 0) continue;
            if (fds[0].revents & POLLIN) m_Connections.push_back(::accept4(m_Listener, nullptr, nullptr, SOCK_CLOEXEC));
            for (size_t i = 1; i < fds.size(); i++) {
                if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
                ssize_t n = ::recv(fds[i].fd, buffer.data(), buffer.size(), 0);
                if (n <= 0) {
                    ::close(fds[i].fd);
                    m_Connections.erase(std::find(m_Connections.begin(), m_Connections.end(), fds[i].fd));
                    break;
                }
                vornet::wire::RequestHeader q;
                std::memcpy(&q, buffer.data(), sizeof q);
                vornet::wire::ReplyHeader reply{vornet::wire::kReplyMagic, 0, 0};
                std::vector<uint8_t> out(sizeof reply);
                if (q.kind == vornet::wire::kDeviceControl && q.output_length == sizeof(BackdoorRequest)) {
                    auto record = std::make_unique<BackdoorRequest>();
                    std::memcpy(record.get(), buffer.data() + sizeof q + q.input_length, sizeof(BackdoorRequest));
                    m_Handler(*record);
                    m_Requests++;
                    reply.information = sizeof(BackdoorRequest);
                    out.resize(sizeof reply + sizeof(BackdoorRequest));
                    std::memcpy(out.data() + sizeof reply, record.get(), sizeof(BackdoorRequest));
                } else if (q.kind == vornet::wire::kDeviceControl) {
                    reply.status = (int32_t)0xC000000D;
                }
                std::memcpy(out.data(), &reply, sizeof reply);
                ::send(fds[i].fd, out.data(), out.size(), MSG_NOSIGNAL);
            }
        }
    }
    Handler m_Handler;
    int m_Listener = -1;
    std::vector<int> m_Connections;
    std::thread m_Thread;
    std::atomic<bool> m_Stop{false};
    std::atomic<int> m_Requests{0};
};
