#include "tests/support/TestSupport.hpp"
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace corvane::test {

std::string uniqueLoopbackAddress() {
    static std::atomic<unsigned> counter{0};
    // 127.P.P.N with P from the process id: distinct programs rarely collide, and never within one.
    const unsigned pid = static_cast<unsigned>(getpid());
    return "127." + std::to_string(1 + (pid >> 8) % 254) + "." + std::to_string(pid % 256) + "." +
           std::to_string(2 + counter.fetch_add(1) % 250);
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "corvane-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

CommandResult runCommand(const std::string& command) {
    CommandResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    for (std::size_t n = 0; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.output.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string readWhole(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeScript(const std::filesystem::path& file, const std::string& body) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << "#!/bin/sh\n" << body;
    std::filesystem::permissions(file, std::filesystem::perms::owner_all);
}

std::size_t threadsNamed(const std::string& name) {
    std::size_t count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        count += readWhole(task.path() / "comm") == name + "\n";
    return count;
}

std::string hexOf(ByteView bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const std::uint8_t b : bytes) out += {digits[b >> 4], digits[b & 15]};
    return out;
}

std::uint64_t reportedSlice(long tid) {
    SchedAttr attr{};
    return ::syscall(SYS_sched_getattr, tid, &attr, sizeof attr, 0) == 0 ? attr.runtime : 0;
}

bool kernelKeepsThreadSlices() {
    constexpr std::uint64_t probe = 400'000;  // no slice the code under test asks for, nor a kernel's default
    bool kept = false;
    std::thread([&] {
        SchedAttr attr{};
        if (::syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) != 0) return;
        attr.size = sizeof attr;
        attr.flags = 0;
        attr.runtime = probe;
        kept = ::syscall(SYS_sched_setattr, 0, &attr, 0) == 0 && reportedSlice() == probe;
    }).join();
    return kept;
}

} // namespace corvane::test
