#include "platform/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

namespace navorel::platform {

namespace {

class FileActions {
public:
    FileActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~FileActions() {
        if (ok_) posix_spawn_file_actions_destroy(&actions_);
    }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    bool discardOutput() {
        return ok_ && posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0) == 0 &&
               posix_spawn_file_actions_addopen(&actions_, 2, "/dev/null", O_WRONLY, 0) == 0;
    }
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_{};
    bool ok_ = false;
};

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::start(const std::string& program,
                                                  const std::vector<std::string>& argv, bool discardOutput) {
    if (argv.empty()) return nullptr;
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    FileActions actions;
    if (discardOutput && !actions.discardOutput()) return nullptr;
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), discardOutput ? actions.get() : nullptr, nullptr, args.data(),
                    environ) != 0) {
        return nullptr;
    }
    return std::unique_ptr<ChildProcess>(new ChildProcess(static_cast<std::uint32_t>(pid), 0));
}

ChildProcess::~ChildProcess() { kill(); }

void ChildProcess::kill() {
    if (reaped_) return;
    const auto pid = static_cast<pid_t>(pid_);
    ::kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
}

}  // namespace navorel::platform
