#pragma once

// A python3 program serving HTTP on a loopback address, ended with the object.

#include <chrono>
#include <csignal>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvane::test {

class PythonServer {
public:
    PythonServer(std::vector<std::string> all, const std::string& address, int port) {
        all.insert(all.begin(), "python3");
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        if ((pid_ = ::fork()) == 0) {
            const int null = ::open("/dev/null", O_RDWR);
            for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) ::dup2(null, fd);
            ::execvp("python3", argv.data());
            ::_exit(127);
        }
        sockaddr_in to{AF_INET, htons(static_cast<std::uint16_t>(port)), {}, {}};
        ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
        for (const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);;) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const bool accepted = ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
            ::close(fd);
            if (accepted) return;
            if (pid_ < 0 || ::waitpid(pid_, nullptr, WNOHANG) == pid_) throw std::runtime_error("python3 did not start");
            if (std::chrono::steady_clock::now() > limit) throw std::runtime_error("python3 never served");
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~PythonServer() { (void)(pid_ > 0 && ::kill(pid_, SIGTERM) == 0 && ::waitpid(pid_, nullptr, 0)); }
    PythonServer(const PythonServer&) = delete;

private:
    pid_t pid_ = -1;
};

} // namespace corvane::test
