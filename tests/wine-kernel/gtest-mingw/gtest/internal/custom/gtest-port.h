// GoogleTest's port header for MinGW's win32 thread model, which has no std::mutex or
// std::condition_variable. gtest's Mutex and ThreadLocal have Win32 implementations of their own
// there; only its Notification (a start signal for threads in gtest's own tests, never used by
// ours) is written with the std ones, so it is given here as a flag to spin on.
#ifndef GTEST_MINGW_CUSTOM_GTEST_PORT_H
#define GTEST_MINGW_CUSTOM_GTEST_PORT_H

#include <atomic>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
public:
    Notification() = default;
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { notified_.store(true); }
    void WaitForNotification() {
        while (!notified_.load()) {
        }
    }

private:
    std::atomic<bool> notified_{false};
};

} // namespace internal
} // namespace testing

#endif
