// Runs tellivar-host as a child process for end-to-end tests: arguments,
// extra environment, stdout and stderr captured to files, and a bound on the
// run (the child is killed when it passes it, and the result says so).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

struct RunResult {
    bool finished = false;  // false: killed at the bound
    int exitCode = -1;
    std::string out;
    std::string err;
};

inline std::string readWhole(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// A fresh directory under the test's temporary directory.
inline std::string makeTempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string path = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tellivar-e2e-XXXXXX";
    return mkdtemp(path.data()) != nullptr ? path : std::string{};
}

// Runs `program args...` with `env` ("NAME=value") added to the environment;
// `sigintAfter` > 0 sends Ctrl-C's signal after that many seconds.
inline RunResult runProgram(const std::string& program, const std::vector<std::string>& args, double boundSeconds,
                            const std::vector<std::string>& env = {}, double sigintAfter = 0) {
    const std::string dir = makeTempDir();
    const std::string outPath = dir + "/out", errPath = dir + "/err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> argText{program};
    argText.insert(argText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argText) argv.push_back(arg.data());
    argv.push_back(nullptr);
    // The inherited environment, less the names that `env` sets anew.
    std::vector<std::string> envText;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string& extra : env) replaced = replaced || extra.rfind(name, 0) == 0;
        if (!replaced) envText.push_back(entry);
    }
    envText.insert(envText.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (std::string& entry : envText) envp.push_back(entry.data());
    envp.push_back(nullptr);

    RunResult result;
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return result;
    const auto start = std::chrono::steady_clock::now();
    bool interrupted = false;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (sigintAfter > 0 && !interrupted && elapsed >= sigintAfter) {
            kill(pid, SIGINT);
            interrupted = true;
        }
        if (elapsed > boundSeconds) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.out = readWhole(outPath);
            result.err = readWhole(errPath);
            return result;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    result.finished = true;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = readWhole(outPath);
    result.err = readWhole(errPath);
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    rmdir(dir.c_str());
    return result;
}

// Lines of a text, without their line feeds.
inline std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}
