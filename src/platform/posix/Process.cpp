#include "platform/Process.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string_view>

namespace navorel::platform {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// argv[0] of a long command line is still short; a bounded read keeps one odd
// process from costing much.
constexpr std::size_t kMaxProcFileBytes = 4096;

std::string readProcFile(const std::string& path) {
    FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return {};
    std::string data(kMaxProcFileBytes, '\0');
    std::size_t used = 0;
    while (used < data.size()) {
        const ssize_t got = read(fd.get(), data.data() + used, data.size() - used);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        used += static_cast<std::size_t>(got);
    }
    data.resize(used);
    return data;
}

bool parsePid(const char* text, std::uint32_t& pid) {
    if (*text == '\0') return false;
    std::uint64_t value = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(*c - '0');
        if (value > 0xFFFFFFFFu) return false;
    }
    pid = static_cast<std::uint32_t>(value);
    return true;
}

// Wine and Proton processes carry their Windows path in argv[0], so both
// separators end a directory.
std::string lastPathComponent(std::string_view path) {
    const std::size_t cut = path.find_last_of("/\\");
    return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

std::string processName(std::uint32_t pid) {
    const std::string base = "/proc/" + std::to_string(pid);
    const std::string cmdline = readProcFile(base + "/cmdline");
    const std::string_view argv0(cmdline.c_str());  // up to the first NUL
    std::string name = lastPathComponent(argv0);
    if (!name.empty()) return name;
    // Kernel threads and zombies have no command line.
    std::string comm = readProcFile(base + "/comm");
    while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\0')) comm.pop_back();
    return comm;
}

}  // namespace

std::optional<std::vector<ProcessEntry>> listProcesses() {
    std::unique_ptr<DIR, DirCloser> dir(opendir("/proc"));
    if (!dir) return std::nullopt;
    std::vector<ProcessEntry> processes;
    while (const dirent* entry = readdir(dir.get())) {
        std::uint32_t pid = 0;
        if (!parsePid(entry->d_name, pid)) continue;
        std::string name = processName(pid);
        // Gone between the directory read and the file reads.
        if (name.empty()) continue;
        processes.push_back(ProcessEntry{pid, std::move(name)});
    }
    return processes;
}

std::string processImagePath(std::uint32_t pid) {
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t length = readlink(link.c_str(), buffer.data(), buffer.size());
        if (length < 0) return {};
        if (static_cast<std::size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(length));
            return buffer;
        }
        if (buffer.size() >= 65536) return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(getpid()); }

}  // namespace navorel::platform
