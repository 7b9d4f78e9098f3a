#include "connections/KeyValueFile.h"

#include "support/Base64.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

namespace quillhaven {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

enum class LoadStatus { ok, missing, keptAside, failed };

struct Loaded {
    LoadStatus status;
    json object = json::object();
};

bool readWhole(const fs::path& file, std::string& out, int& error) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return false;
    }
    out.clear();
    char buffer[8192];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = errno;
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

std::string utcStamp() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &tm);
    return text;
}

// Moves an unreadable file out of the way so that the next write cannot destroy what the
// user may still want to recover.
bool keepAside(const fs::path& file) {
    std::string base = file.string() + ".unreadable-" + utcStamp();
    std::string target = base;
    for (int i = 1; ::access(target.c_str(), F_OK) == 0; ++i)
        target = base + "-" + std::to_string(i);
    if (::rename(file.c_str(), target.c_str()) != 0) {
        std::fprintf(stderr, "Could not move unreadable file %s aside: %s\n", file.c_str(),
                     std::strerror(errno));
        return false;
    }
    std::fprintf(stderr, "Unreadable file %s kept as %s\n", file.c_str(), target.c_str());
    return true;
}

Loaded load(const fs::path& file) {
    std::string text;
    int error = 0;
    if (!readWhole(file, text, error)) {
        if (error == ENOENT) return {LoadStatus::missing};
        std::fprintf(stderr, "Could not read %s: %s\n", file.c_str(), std::strerror(error));
        return {LoadStatus::failed};
    }
    json object = json::parse(text, nullptr, false);
    if (object.is_discarded() || !object.is_object())
        return {keepAside(file) ? LoadStatus::keptAside : LoadStatus::failed};
    return {LoadStatus::ok, std::move(object)};
}

bool writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool replaceAtomically(const fs::path& file, const std::string& content,
                       const std::function<void()>& beforeRename) {
    std::error_code ec;
    fs::path folder = file.parent_path();
    if (folder.empty()) folder = ".";
    fs::create_directories(folder, ec);
    std::string tmp = (folder / ("." + file.filename().string() + ".tmp-XXXXXX")).string();
    int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "Could not write %s: %s\n", file.c_str(), std::strerror(errno));
        return false;
    }
    ::fchmod(fd, 0600);
    bool ok = writeAll(fd, content) && ::fsync(fd) == 0;
    int error = errno;
    ok = (::close(fd) == 0) && ok;
    if (ok) {
        beforeRename();
        ok = ::rename(tmp.c_str(), file.c_str()) == 0;
        error = errno;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        std::fprintf(stderr, "Could not write %s: %s\n", file.c_str(), std::strerror(error));
        return false;
    }
    // The rename itself is only durable once the folder is synced.
    int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

} // namespace

KeyValueFile::KeyValueFile(fs::path file) : path_(std::move(file)) {}

template <class F> bool KeyValueFile::modify(F&& change) {
    Loaded loaded = load(path_);
    if (loaded.status == LoadStatus::failed) return false;
    change(loaded.object);
    std::string content = loaded.object.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    return replaceAtomically(path_, content, [&] { willWrite(content); });
}

std::optional<std::string> KeyValueFile::bytes(const std::string& key) const {
    auto object = load(path_).object;
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return base64::decode(it->get_ref<const std::string&>());
}

std::optional<std::vector<std::string>> KeyValueFile::stringArray(const std::string& key) const {
    auto object = load(path_).object;
    auto it = object.find(key);
    if (it == object.end() || !it->is_array()) return std::nullopt;
    std::vector<std::string> values;
    for (const auto& element : *it) {
        if (!element.is_string()) return std::nullopt;
        values.push_back(element.get<std::string>());
    }
    return values;
}

std::optional<bool> KeyValueFile::boolean(const std::string& key) const {
    auto object = load(path_).object;
    auto it = object.find(key);
    if (it == object.end() || !it->is_boolean()) return std::nullopt;
    return it->get<bool>();
}

std::optional<std::string> KeyValueFile::string(const std::string& key) const {
    auto object = load(path_).object;
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

bool KeyValueFile::contains(const std::string& key) const {
    return load(path_).object.contains(key);
}

bool KeyValueFile::setBytes(const std::string& key, const std::string& bytes) {
    return modify([&](json& o) { o[key] = base64::encode(bytes); });
}

bool KeyValueFile::setStringArray(const std::string& key, const std::vector<std::string>& values) {
    return modify([&](json& o) { o[key] = values; });
}

bool KeyValueFile::setBoolean(const std::string& key, bool value) {
    return modify([&](json& o) { o[key] = value; });
}

bool KeyValueFile::setString(const std::string& key, const std::string& value) {
    return modify([&](json& o) { o[key] = value; });
}

bool KeyValueFile::remove(const std::string& key) {
    return modify([&](json& o) { o.erase(key); });
}

} // namespace quillhaven
