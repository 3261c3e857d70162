// velnor::HostThread: a thread for application code that uses the device
// (DeviceIoControl, ReadFile, Sleep, ...), in place of std::thread.
//
// On Windows it is a plain Win32 thread. On Linux, where the application
// runs on the host kernel's virtual clock, it is a simulation thread: the
// clock counts it from construction and never moves on while it runs, so
// its waits and the device's time stay in step. A std::thread that calls
// the device on Linux is reported by the host kernel's verifier.
//
//     velnor::HostThread reader([&] { while (!stop) ReadBlock(device); });
//     ...
//     reader.join();  // or let the destructor join
#pragma once

#include <functional>
#include <memory>

#ifdef _WIN32
#include <windows.h>
#endif

namespace velnor {

#ifdef _WIN32

class HostThread {
public:
    explicit HostThread(std::function<void()> body) {
        auto* start = new std::function<void()>(std::move(body));
        handle_ = CreateThread(nullptr, 0, &HostThread::Run, start, 0, nullptr);
        if (!handle_) {
            delete start;
            throw std::bad_alloc();
        }
    }
    ~HostThread() { join(); }
    HostThread(const HostThread&) = delete;
    HostThread& operator=(const HostThread&) = delete;

    bool joinable() const { return handle_ != nullptr; }
    void join() {
        if (!handle_) return;
        WaitForSingleObject(handle_, INFINITE);
        CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    static DWORD WINAPI Run(LPVOID parameter) {
        std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(parameter));
        (*body)();
        return 0;
    }
    HANDLE handle_ = nullptr;
};

#else

// Implemented by the host runtime (libvelnor-win32.a).
class HostThread {
public:
    explicit HostThread(std::function<void()> body);
    ~HostThread();  // joins
    HostThread(const HostThread&) = delete;
    HostThread& operator=(const HostThread&) = delete;

    bool joinable() const;
    void join();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

#endif

}  // namespace velnor
