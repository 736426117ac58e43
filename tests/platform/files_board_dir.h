// A throw-away board directory for the platform tests: BOARDSIM_DIR points
// at a fresh temporary folder with an empty rootfs/ while the object lives.
#pragma once
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "board/board.h"

class BoardDir {
public:
    BoardDir()
    {
        char pattern[] = "/tmp/platcore-XXXXXX";
        const char* made = mkdtemp(pattern);
        dir_ = made ? made : "";
        setenv("BOARDSIM_DIR", dir_.c_str(), 1);
        board::CloseAll();
        mkdir(rootfs().c_str(), 0755);
    }
    ~BoardDir()
    {
        board::CloseAll();
        std::error_code ignored;
        // Read-only files and folders left by a test must not stop the clean-up.
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(dir_, ignored);
        unsetenv("BOARDSIM_DIR");
    }
    BoardDir(const BoardDir&) = delete;
    BoardDir& operator=(const BoardDir&) = delete;

    const std::string& dir() const { return dir_; }
    std::string rootfs() const { return dir_ + "/rootfs"; }

    // Writes a host file below the board directory (folders are created).
    void Write(const std::string& relative, const std::string& content, mode_t mode = 0644) const
    {
        std::filesystem::path path = dir_ + "/" + relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
        chmod(path.c_str(), mode);
    }

    static std::string Read(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::string dir_;
};
