#include "connections/SyncStore.h"

#include "connections/UserDefaults.h"
#include "support/MainQueue.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace quillhaven {

namespace fs = std::filesystem;

namespace {

std::string contentOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return {};
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

} // namespace

std::optional<fs::path> SyncStore::configuredFolder(const UserDefaults& defaults) {
    if (const char* env = std::getenv("QUILLHAVEN_SYNC_DIR"); env && *env) return fs::path(env);
    auto folder = defaults.string(folderSettingKey);
    if (folder && !folder->empty()) return fs::path(*folder);
    return std::nullopt;
}

std::shared_ptr<SyncStore> SyncStore::open(const fs::path& folder,
                                           std::shared_ptr<MainQueue> mainQueue) {
    std::shared_ptr<SyncStore> store(new SyncStore(folder, std::move(mainQueue)));
    if (store->inotifyFd_ >= 0 && store->stopFd_ >= 0)
        store->watcher_ = std::thread([raw = store.get()] { raw->watch(); });
    return store;
}

SyncStore::SyncStore(const fs::path& folder, std::shared_ptr<MainQueue> mainQueue)
    : KeyValueFile(folder / fileName), mainQueue_(std::move(mainQueue)) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    lastKnownContent_ = contentOf(path());
    inotifyFd_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // The folder is watched rather than the file: every writer replaces the file by a rename.
    if (inotifyFd_ >= 0 &&
        ::inotify_add_watch(inotifyFd_, folder.c_str(),
                            IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM) < 0) {
        std::fprintf(stderr, "Cannot watch %s for changes: %s\n", folder.c_str(),
                     std::strerror(errno));
    }
}

SyncStore::~SyncStore() {
    if (watcher_.joinable()) {
        std::uint64_t one = 1;
        if (::write(stopFd_, &one, sizeof one) < 0) {
        }
        watcher_.join();
    }
    if (inotifyFd_ >= 0) ::close(inotifyFd_);
    if (stopFd_ >= 0) ::close(stopFd_);
}

void SyncStore::setChangeHandler(std::function<void()> handler) {
    handler_ = std::move(handler);
}

void SyncStore::willWrite(const std::string& content) {
    std::lock_guard lock(mutex_);
    lastKnownContent_ = content;
}

void SyncStore::watch() {
    pollfd fds[2] = {{inotifyFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    alignas(inotify_event) char buffer[16 * 1024];
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) continue;
        bool ours = false;
        for (;;) {
            ssize_t n = ::read(inotifyFd_, buffer, sizeof buffer);
            if (n <= 0) break;
            for (char* p = buffer; p < buffer + n;) {
                auto* event = reinterpret_cast<inotify_event*>(p);
                if (event->len > 0 && std::strcmp(event->name, fileName) == 0) ours = true;
                p += sizeof(inotify_event) + event->len;
            }
        }
        if (ours) fileMayHaveChanged();
    }
}

// Runs on the watcher thread. Comparing contents (rather than, say, inode numbers, which
// the file system reuses) tells this object's own writes from everyone else's.
void SyncStore::fileMayHaveChanged() {
    std::string content = contentOf(path());
    {
        std::lock_guard lock(mutex_);
        if (content == lastKnownContent_) return;
        lastKnownContent_ = content;
    }
    mainQueue_->post([weak = weak_from_this()] {
        auto self = weak.lock();
        if (self && self->handler_) self->handler_();
    });
}

} // namespace quillhaven
