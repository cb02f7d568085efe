// Runs the built xenvar binary in a scratch folder and captures what it prints.
#pragma once

#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace cli {

struct Result { std::string out, err; int status; };  // status: 128 + signal number when killed by a signal

// A fresh folder holding the given files, removed with everything in it; runs see the files by their bare names.
struct Dir {
    std::filesystem::path path;
    explicit Dir(const std::vector<std::pair<std::string, std::string>>& files = {}) {
        std::string pattern = (std::filesystem::temp_directory_path() / "xenvar-cli-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path = pattern;
        for (const auto& [name, content] : files) write(name, content);
    }
    ~Dir() { std::filesystem::remove_all(path); }
    // An old file is removed rather than truncated: ext4 flushes a truncated file to disk when it is closed.
    void write(const std::string& name, const std::string& content) const {
        std::filesystem::remove(path / name);
        std::ofstream(path / name, std::ios::binary) << content;
    }

    // Runs xenvar on `args` (quoted for the shell as they are), standard output captured or sent to `out_file`.
    Result run(const std::vector<std::string>& args, const std::string& out_file = "") const {
        std::filesystem::remove(path / ".err");
        std::string cmd = "cd '" + path.string() + "' && exec '" XENVAR_BIN "' 2>.err";
        for (const auto& a : args) cmd += " '" + a + "'";
        FILE* pipe = popen((out_file.empty() ? cmd : cmd + " >" + out_file).c_str(), "r");
        if (!pipe) throw std::runtime_error("popen failed");
        std::string out;
        for (;;) {
            const int ch = std::fgetc(pipe);
            if (ch != EOF) {
                out += static_cast<char>(ch);
                continue;
            }
            if (!std::ferror(pipe) || errno != EINTR) break;
            std::clearerr(pipe);  // a signal (a fuzzer's timer) cut the read short: the output goes on
        }
        const int st = pclose(pipe);
        std::ifstream err(path / ".err", std::ios::binary);
        return {out, {std::istreambuf_iterator<char>(err), {}}, WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st)};
    }
};

}  // namespace cli
