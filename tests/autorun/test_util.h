// Small helpers of the autorun tests: host files in the board's rootfs,
// scripts that leave a mark, and waits with a deadline.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace autorun_test {

namespace fs = std::filesystem;

// A host path from UTF-8 (on Windows a narrow path would be taken in the
// ANSI code page).
inline fs::path Utf8Path(const std::string& path)
{
    return fs::path(std::u8string(path.begin(), path.end()));
}

inline void WriteFile(const std::string& path, const std::string& content, int mode = 0644)
{
    fs::create_directories(Utf8Path(path).parent_path());
    std::ofstream out(Utf8Path(path), std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(Utf8Path(path), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool Exists(const std::string& path)
{
    std::error_code error;
    return fs::exists(fs::symlink_status(Utf8Path(path), error));
}

// A program of the device: a shell script that appends its name and its
// arguments (one a line, between brackets) to markFile. The whole record
// goes out in one write, so that programs running side by side never
// interleave their lines.
inline void WriteMarkScript(const std::string& path, const std::string& tag,
                            const std::string& markFile)
{
    WriteFile(path,
              "#!/bin/sh\n"
              "m=\"" + tag + " $$\"\n"
              "for a in \"$@\"; do m=\"$m\n[$a]\"; done\n"
              "printf '%s\\n' \"$m\" >> '" + markFile + "'\n",
              0755);
}

// Waits until pred() holds, up to timeoutMs of real time.
template <typename Pred>
bool WaitFor(Pred pred, int timeoutMs = 10000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline bool WaitForFile(const std::string& path, int timeoutMs = 10000)
{
    return WaitFor([&] { return Exists(path); }, timeoutMs);
}

inline std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream s(text);
    std::string line;
    while (std::getline(s, line)) out.push_back(line);
    return out;
}

// Waits until markFile holds at least count lines that begin with a tag.
inline bool WaitForMarks(const std::string& markFile, size_t count, int timeoutMs = 10000)
{
    return WaitFor(
        [&] {
            size_t n = 0;
            for (const std::string& l : Lines(ReadFile(markFile)))
                if (!l.empty() && l[0] != '[') ++n;
            return n >= count;
        },
        timeoutMs);
}

// Every entry below root, as "relative/path" (folders end in '/') with the
// size and a hash of the content of files, for comparing whole trees.
// Entries under skip (a top-level name) are left out.
inline std::string Snapshot(const std::string& root, const std::string& skip = "")
{
    std::vector<std::string> items;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string rel = fs::relative(it->path(), root).string();
        if (!skip.empty() && (rel == skip || rel.rfind(skip + "/", 0) == 0)) continue;
        if (it->is_symlink())
            items.push_back(rel + " -> " + fs::read_symlink(it->path()).string());
        else if (it->is_directory())
            items.push_back(rel + "/");
        else
        {
            const std::string content = ReadFile(it->path().string());
            items.push_back(rel + " = " + std::to_string(content.size()) + " bytes, hash " +
                            std::to_string(std::hash<std::string>()(content)));
        }
    }
    std::sort(items.begin(), items.end());
    std::string out;
    for (const std::string& i : items) out += i + "\n";
    return out;
}

}  // namespace autorun_test
