#include "ServeCommand.h"

#include "BackendFactory.h"
#include "frontend/ProxyServer.h"
#include "frontend/StatementHooks.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <system_error>

namespace quillhaven::cli {
namespace {

constexpr int healthCheckSeconds = 10;

// Blocks the stop signals in this thread and every thread it starts afterwards, so that
// only the main loop's sigtimedwait sees them.
sigset_t blockStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return set;
}

} // namespace

int runServe(const ServeOptions& options) {
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals = blockStopSignals();

    std::shared_ptr<Backend> backend;
    try {
        std::cout << "Connecting to " << options.target.describe()
                  << (options.readOnly ? " (read-only)" : "") << "..." << std::endl;
        backend = makeBackend(options.target, options.readOnly, options.identityFile);
        backend->connect();
    } catch (const std::exception& e) {
        std::cerr << "quillhaven-cli: " << e.what() << std::endl;
        if (backend) backend->close();
        return 1;
    }

    std::mutex statusMutex;
    std::string startError;
    auto server = std::make_shared<ProxyServer>(
        options.port, backend, options.readOnly, nullptr,
        [&](const ProxyServerStatus& status) {
            if (status.kind == ProxyServerStatus::Kind::error) {
                std::lock_guard lock(statusMutex);
                startError = status.text;
            }
        },
        translationHooks());
    try {
        server->start();
    } catch (const std::system_error& e) {
        std::lock_guard lock(statusMutex);
        std::cerr << "quillhaven-cli: " << (startError.empty() ? e.what() : startError)
                  << std::endl;
        backend->close();
        return 1;
    }

    std::cout << "Listening on port " << options.port << " (all IPv4 interfaces), serving "
              << options.target.describe() << (options.readOnly ? " read-only" : "") << "\n"
              << "Connect with: psql -h localhost -p " << options.port << " -U any -d any\n"
              << "Press Ctrl-C to stop." << std::endl;

    int exitCode = 0;
    for (;;) {
        timespec wait{healthCheckSeconds, 0};
        int sig = sigtimedwait(&stopSignals, nullptr, &wait);
        if (sig == SIGINT || sig == SIGTERM) {
            std::cout << "\nStopping..." << std::endl;
            break;
        }
        if (sig < 0 && errno == EAGAIN && !backend->isAlive()) {
            std::cerr << "quillhaven-cli: connection lost — the database session ended"
                      << std::endl;
            exitCode = 1;
            break;
        }
    }
    server->stop(); // closes the backend too
    // Sessions end on their own threads; let them finish before the process tears down.
    server->waitForSessions(std::chrono::seconds(5));
    std::cout << "Stopped." << std::endl;
    return exitCode;
}

} // namespace quillhaven::cli
