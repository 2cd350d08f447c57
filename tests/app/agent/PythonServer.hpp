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
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvane::test {

class PythonServer {
public:
    PythonServer(std::vector<std::string> all, const std::string& address, int port) {
        all.insert(all.begin(), "python3");
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            const int null = ::open("/dev/null", O_RDWR);
            for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) ::dup2(null, fd);
            std::vector<char*> argv;
            for (auto& a : all) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execvp("python3", argv.data());
            ::_exit(127);
        }
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!accepts(address, port)) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                throw std::runtime_error("python3 ended before serving");
            }
            if (std::chrono::steady_clock::now() > limit) throw std::runtime_error("python3 never served");
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~PythonServer() { (void)(pid_ > 0 && ::kill(pid_, SIGTERM) == 0 && ::waitpid(pid_, nullptr, 0)); }
    PythonServer(const PythonServer&) = delete;

private:
    static bool accepts(const std::string& address, int port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
        ::close(fd);
        return ok;
    }
    pid_t pid_ = -1;
};

} // namespace corvane::test
