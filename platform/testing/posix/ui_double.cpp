// The test double of the user-interface role: a presenter that answers
// from scripts and records what it was shown (the scripts and records are
// in ../ui_double.cpp). Dialogs still run through the real dialog manager,
// so tests see the same windows, threads and modal loops as the program
// does.
#include "platform/testing/ui_double.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "platform/posix/ui_presenter.h"
#include "platform/testing/ui_double_shared.h"

namespace uidouble {
namespace {

int g_pressPipe[2] = {-1, -1};   // wakes a waiting dialog when a press is queued

class DoublePresenter : public shared::Answers<UiPresenter> {
public:
    int WaitCommand(Window /*dialog*/, const int* fds, int nfds) override
    {
        {
            std::lock_guard<std::mutex> hold(shared::Lock());
            std::deque<int>& presses = shared::PressesLocked();
            if (!presses.empty()) {
                int id = presses.front();
                presses.pop_front();
                return id;
            }
        }
        std::vector<pollfd> polls;
        for (int i = 0; i < nfds; ++i)
            polls.push_back({fds[i], POLLIN, 0});
        polls.push_back({g_pressPipe[0], POLLIN, 0});
        poll(polls.data(), polls.size(), -1);
        UiDrain(g_pressPipe[0]);
        return 0;
    }
};

}  // namespace

namespace backend {

void ResetLocked()
{
    if (g_pressPipe[0] < 0 && pipe2(g_pressPipe, O_NONBLOCK | O_CLOEXEC) != 0)
        g_pressPipe[0] = g_pressPipe[1] = -1;
}

void Attach()
{
    UiSetPresenter(std::make_unique<DoublePresenter>());
}

void Detach()
{
    UiSetPresenter(nullptr);
}

void PressQueuedLocked() { UiPoke(g_pressPipe[1]); }

}  // namespace backend

Window NewDialog(const OsDialogTemplate* tmpl) { return UiNewDialog(tmpl, nullptr, nullptr); }

}  // namespace uidouble
