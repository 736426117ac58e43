// What every presenter shares: the current presenter, open-file helpers,
// the bars' unit, writing to a descriptor (the rest is in
// platform/common/ui_shared.cpp).
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "platform/common/run_report.h"
#include "platform/files.h"
#include "platform/host/files.h"
#include "platform/posix/ui_presenter.h"

namespace {

std::mutex g_presenterLock;
std::unique_ptr<UiPresenter> g_presenter;
std::atomic<const char*> g_barUnit{""};

// Whether path (a device or host path) names something, and what.
bool HostStat(const std::wstring& path, struct stat* st)
{
    char host[4096];
    if (path.empty() || !OsHostPath(path.c_str(), host, sizeof host))
        return false;
    return stat(host, st) == 0;
}

// Whether the folder path is in exists (a bare name's is the current one).
bool FolderOfExists(const std::wstring& path)
{
    size_t cut = path.find_last_of(L"\\/");
    if (cut == std::wstring::npos)
        return true;   // a bare name: the current folder
    std::wstring folder = path.substr(0, cut == 0 ? 1 : cut);   // the root: "\" or "/"
    struct stat st;
    return HostStat(folder, &st) && S_ISDIR(st.st_mode);
}

// UiWriteAll of n bytes at text. Async-signal-safe.
void WriteAll(int fd, const char* text, size_t n)
{
    size_t done = 0;
    while (done < n) {
        ssize_t wrote = write(fd, text + done, n - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return;
        done += static_cast<size_t>(wrote);
    }
}

}  // namespace

UiPresenter* UiCurrentPresenter()
{
    std::lock_guard<std::mutex> hold(g_presenterLock);
    if (!g_presenter)
        g_presenter = UiNewLinePresenter(0, 2);
    return g_presenter.get();
}

std::unique_ptr<UiPresenter> UiSetPresenter(std::unique_ptr<UiPresenter> presenter)
{
    std::lock_guard<std::mutex> hold(g_presenterLock);
    std::unique_ptr<UiPresenter> previous = std::move(g_presenter);
    g_presenter = std::move(presenter);
    return previous;
}

std::wstring UiResolveChoice(const std::wstring& typed, const wchar_t* initialDir)
{
    if (typed.empty() || typed[0] == L'\\' || typed == L"." || typed == L".." ||
        typed.find(L'/') != std::wstring::npos)
        return typed;
    std::wstring dir = initialDir && *initialDir ? initialDir : L"\\";
    wchar_t sep = dir.find(L'/') != std::wstring::npos && dir[0] != L'\\' ? L'/' : L'\\';
    if (dir.back() != L'\\' && dir.back() != L'/')
        dir += sep;
    return dir + typed;
}

std::string UiChoiceError(const std::wstring& path, const OsOpenFileName* record)
{
    if (path.size() + 1 > record->maxFile)
        return "The path is too long (" + std::to_string(record->maxFile - 1) + " characters at most): ";
    if ((record->flags & OS_OFN_PATHMUSTEXIST) && !FolderOfExists(path))
        return "No such folder: ";
    struct stat st;
    bool exists = HostStat(path, &st);
    if (exists && S_ISDIR(st.st_mode))
        return "That is a folder, not a file: ";
    if ((record->flags & OS_OFN_FILEMUSTEXIST) && !(exists && S_ISREG(st.st_mode)))
        return "No such file: ";
    return "";
}

void UiFirstFilter(const wchar_t* filter, std::wstring* name, std::wstring* pattern)
{
    *name = filter ? filter : L"";
    *pattern = filter && *filter ? filter + name->size() + 1 : L"";
}

void UiSetBarUnit(const char* unit) { g_barUnit.store(unit ? unit : ""); }

std::string UiBarUnit() { return g_barUnit.load(); }

bool UiWaitReadable(const int* fds, int nfds, int timeoutMs)
{
    std::vector<pollfd> polls;
    for (int i = 0; i < nfds; ++i)
        polls.push_back({fds[i], POLLIN, 0});
    if (poll(polls.data(), polls.size(), timeoutMs) <= 0)
        return false;
    for (const pollfd& p : polls)
        if (p.revents & (POLLIN | POLLHUP | POLLERR))
            return true;
    return false;
}

void UiPoke(int fd)
{
    char c = 1;
    if (fd >= 0) {
        ssize_t n = write(fd, &c, 1);   // a full pipe is awake already
        (void)n;
    }
}

void UiDrain(int fd)
{
    char buf[64];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

void UiWriteAll(int fd, const std::string& text) { WriteAll(fd, text.data(), text.size()); }

void RunWriteClosing(int fd, size_t width)
{
    char text[1024];
    WriteAll(fd, text, RunTakeClosing(text, sizeof text, width));
}
