#include "tableplus/TablePlusHelper.h"

#include "connections/Connection.h"
#include "support/UUID.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <optional>
#include <plist/plist.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace quillhaven::TablePlusHelper {
namespace {

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Plist = std::unique_ptr<void, PlistFree>;

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    // Closes now so that a failing close (delayed write error) can be reported.
    bool close() {
        int f = fd;
        fd = -1;
        return ::close(f) == 0;
    }
};

void printLine(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::string errnoText(int error) {
    return std::strerror(error);
}

fs::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->pw_dir;
    return "/";
}

fs::path baseDirectory() {
    if (const char* dir = std::getenv("QUILLHAVEN_TABLEPLUS_DIR"); dir && *dir) return dir;
    // The XDG rules say a relative XDG_DATA_HOME is to be ignored.
    const char* xdg = std::getenv("XDG_DATA_HOME");
    fs::path data = (xdg && *xdg == '/') ? fs::path(xdg) : homeDirectory() / ".local" / "share";
    return data / "com.tinyapp.TablePlus";
}

bool fileExists(const fs::path& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0;
}

fs::path plistURL() {
    fs::path base = baseDirectory();
    fs::path current = base / "Data" / "Connections.plist";
    if (fileExists(current)) return current;
    fs::path old = base / "Connections.plist";
    if (fileExists(old)) return old;
    return current;
}

// The whole file, or nothing with the reason. Only regular files are read: a FIFO or a
// device at the list's place must not block or feed us endless bytes.
std::optional<std::string> readBytes(const fs::path& file, std::string& error) {
    Fd in(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (in.fd < 0) {
        error = errnoText(errno);
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(in.fd, &st) != 0) {
        error = errnoText(errno);
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? errnoText(EISDIR) : "not a regular file";
        return std::nullopt;
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(in.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = errnoText(errno);
            return std::nullopt;
        }
        if (n == 0) return bytes;
        bytes.append(buffer, static_cast<size_t>(n));
    }
}

// What a look at the list file found: whether it is there, its bytes when they could be
// read, and the entries (an array of dictionaries, empty when the bytes are not a list).
struct Loaded {
    bool exists = false;
    std::optional<std::string> bytes;
    std::string readError;
    Plist list{plist_new_array()};
};

Plist parse(const std::string& bytes) {
    if (bytes.empty() || bytes.size() > UINT32_MAX) return nullptr;
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    return Plist(root);
}

Loaded loadConnections(const fs::path& file) {
    Loaded loaded;
    loaded.exists = fileExists(file);
    if (!loaded.exists) return loaded;
    loaded.bytes = readBytes(file, loaded.readError);
    if (!loaded.bytes) return loaded;
    Plist root = parse(*loaded.bytes);
    if (!root) return loaded;

    plist_t list = loaded.list.get();
    switch (plist_get_node_type(root.get())) {
    case PLIST_ARRAY: {
        uint32_t size = plist_array_get_size(root.get());
        for (uint32_t i = 0; i < size; ++i) {
            plist_t item = plist_array_get_item(root.get(), i);
            // One stranger makes the whole array unreadable as a list of connections.
            if (plist_get_node_type(item) != PLIST_DICT) {
                loaded.list.reset(plist_new_array());
                return loaded;
            }
            plist_array_append_item(list, plist_copy(item));
        }
        break;
    }
    case PLIST_DICT: {
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(root.get(), &it);
        for (;;) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(root.get(), it, &key, &value);
            std::free(key);
            if (!value) break;
            if (plist_get_node_type(value) == PLIST_DICT)
                plist_array_append_item(list, plist_copy(value));
        }
        std::free(it);
        break;
    }
    default:
        break;
    }
    return loaded;
}

std::optional<std::string> textValue(plist_t dict, const char* key) {
    plist_t node = plist_dict_get_item(dict, key);
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return std::string(text ? text : "", text ? length : 0);
}

std::string entryName(plist_t entry) {
    if (auto name = textValue(entry, "ConnectionName")) return *name;
    if (auto name = textValue(entry, "Name")) return *name;
    return "";
}

std::string databaseName(const std::string& dbPath) {
    std::string path = dbPath;
    // "/srv/db/" names the folder db, as its last path component.
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    std::string name = fs::path(path).stem().string();
    if (name.empty() || name == "/") return "sqlite";
    return name;
}

std::string localTimestamp() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d_%H%M%S", &local);
    return text;
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Writes `bytes` to a freshly created file and flushes it to disk; on failure the file is
// removed again. Empty result = done, otherwise the reason.
std::optional<std::string> fillNewFile(Fd& out, const fs::path& path, const std::string& bytes) {
    std::string failed;
    if (!writeAll(out.fd, bytes.data(), bytes.size()))
        failed = "cannot write ";
    else if (::fsync(out.fd) != 0)
        failed = "cannot flush ";
    else if (!out.close())
        failed = "cannot close ";
    if (failed.empty()) return std::nullopt;
    std::string reason = failed + path.string() + ": " + errnoText(errno);
    ::unlink(path.c_str());
    return reason;
}

// Copies `file` to a new backup beside it. The name carries the local time; when that name
// is taken (a second save within the same second) a counter is added, so that every save
// keeps the version it replaces. Empty result = done, otherwise the reason.
std::optional<std::string> backupPlist(const fs::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return std::nullopt; // nothing to keep
    std::string error;
    std::optional<std::string> bytes = readBytes(file, error);
    if (!bytes) return error;

    std::string stem = "Connections.backup." + localTimestamp();
    for (int attempt = 1; attempt <= 1000; ++attempt) {
        std::string suffix = attempt == 1 ? "" : "_" + std::to_string(attempt);
        fs::path backup = file.parent_path() / (stem + suffix + ".plist");
        Fd out(::open(backup.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777));
        if (out.fd >= 0) return fillNewFile(out, backup, *bytes);
        if (errno != EEXIST) return errnoText(errno);
    }
    return "no free backup name";
}

// Replaces `file` with `bytes` through a temporary file in the same folder, so that a reader
// sees either the old list or the new one, never a part. Empty result = done.
std::optional<std::string> writeAtomically(const fs::path& file, const std::string& bytes) {
    fs::path dir = file.parent_path();
    std::string tmpl = (dir / ("." + file.filename().string() + ".XXXXXX")).string();
    Fd out(::mkostemp(tmpl.data(), O_CLOEXEC));
    if (out.fd < 0)
        return "cannot create a temporary file in " + dir.string() + ": " + errnoText(errno);

    struct stat old {};
    mode_t mode = ::stat(file.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    if (::fchmod(out.fd, mode) != 0) {
        std::string reason = "cannot set the permissions of " + tmpl + ": " + errnoText(errno);
        ::unlink(tmpl.c_str());
        return reason;
    }
    if (auto failed = fillNewFile(out, tmpl, bytes)) return failed;
    if (::rename(tmpl.c_str(), file.c_str()) != 0) {
        std::string reason = "cannot replace " + file.string() + ": " + errnoText(errno);
        ::unlink(tmpl.c_str());
        return reason;
    }

    // The rename itself must reach the disk before we call the list saved.
    Fd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.fd >= 0) ::fsync(folder.fd);
    return std::nullopt;
}

bool saveConnections(plist_t list, const fs::path& file) {
    (void)backupPlist(file); // a backup that fails does not stop the save

    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    if (ec) return false;

    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(list, &xml, &length);
    std::optional<std::string> error;
    if (!xml) {
        error = "cannot serialise the connection list";
    } else {
        std::string bytes(xml, length);
        plist_to_xml_free(xml);
        error = writeAtomically(file, bytes);
    }
    if (error) {
        printLine("TablePlusHelper: failed to write plist: " + *error);
        return false;
    }
    return true;
}

plist_t newEntry(const std::string& name, std::uint16_t port, const std::string& dbPath) {
    plist_t entry = plist_new_dict();
    auto text = [&](const char* key, const std::string& value) {
        plist_dict_set_item(entry, key, plist_new_string(value.c_str()));
    };
    auto integer = [&](const char* key) { plist_dict_set_item(entry, key, plist_new_uint(0)); };
    auto no = [&](const char* key) { plist_dict_set_item(entry, key, plist_new_bool(0)); };
    auto array = [&](const char* key) { plist_dict_set_item(entry, key, plist_new_array()); };
    auto dict = [&](const char* key) { plist_dict_set_item(entry, key, plist_new_dict()); };

    text("ID", uuid::make());
    text("Driver", "PostgreSQL");
    text("ConnectionName", name);
    text("DatabaseHost", "127.0.0.1");
    text("DatabasePort", std::to_string(port));
    text("DatabaseName", databaseName(dbPath));
    text("DatabaseUser", "");
    integer("DatabasePasswordMode");
    for (const char* key : {"DatabasePath", "DatabaseSocket", "DatabaseEncoding", "DatabaseType",
                            "DatabaseUserRole", "DatabaseWarehouse"})
        text(key, "");
    integer("DriverVersion");
    for (const char* key : {"Authenticator", "ServerAddress", "ServerPort", "ServerUser"})
        text(key, "");
    integer("ServerPasswordMode");
    text("ServerPrivateKeyName", "");
    text("ServerNameIndication", "");
    no("isOverSSH");
    no("isUsePrivateKey");
    no("isUseSocket");
    integer("tLSMode"); // TablePlus's own spelling
    text("TlsKeyName", "");
    array("TlsKeyPaths");
    text("statusColor", "#007F3D");
    text("Enviroment", "local"); // TablePlus's own spelling
    text("GroupID", "");
    dict("Favorites");
    array("ItemGroups");
    dict("SectionStates");
    for (const char* key : {"OtherOptions", "RecentlyOpened", "RecentlySchema"}) array(key);
    text("RecentUsedBackupDriverName", "");
    no("RecentUsedBackupGzip");
    array("RecentUsedBackupOptions");
    array("RecentUsedRestoreOptions");
    for (const char* key : {"RecentAIChatHistory", "StartupBashScript", "StartupCommands"})
        text(key, "");
    for (const char* key : {"HideFunctionSection", "ShowRecentlySection", "ShowSequenceSection",
                            "ShowSystemSchemas", "ShowUserDefineSection", "LazyLoadSchemaItems"})
        no(key);
    integer("LimitRowsReturned");
    integer("LimitQueryRowsReturned");
    return entry;
}

// The installed executable: `tableplus` in an absolute PATH folder, else the package's place.
std::optional<fs::path> findExecutable() {
    auto runnable = [](const fs::path& candidate) {
        struct stat st {};
        return ::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
               ::access(candidate.c_str(), X_OK) == 0;
    };
    const char* pathVariable = std::getenv("PATH");
    std::string path = pathVariable ? pathVariable : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string dir = path.substr(start, end - start);
        // Relative entries would make the answer depend on the current folder.
        if (!dir.empty() && dir[0] == '/' && runnable(fs::path(dir) / "tableplus"))
            return fs::path(dir) / "tableplus";
        start = end + 1;
    }
    if (runnable("/opt/tableplus/tableplus")) return fs::path("/opt/tableplus/tableplus");
    return std::nullopt;
}

} // namespace

bool addConnection(const std::string& name, std::uint16_t port, const std::string& dbPath) {
    fs::path file = plistURL();
    Loaded loaded = loadConnections(file);
    plist_t list = loaded.list.get();
    uint32_t count = plist_array_get_size(list);

    if (count > 0) {
        for (uint32_t i = 0; i < count; ++i)
            if (entryName(plist_array_get_item(list, i)) == name) return false;
    } else if (loaded.exists) {
        if (loaded.bytes && loaded.bytes->size() > 200) {
            printLine("TablePlusHelper: existing plist has " +
                      std::to_string(loaded.bytes->size()) +
                      " bytes but parsed as empty. Aborting to prevent data loss.");
            return false;
        }
        // A file we cannot read cannot be backed up either: writing over it would lose it.
        if (!loaded.bytes) {
            printLine("TablePlusHelper: existing plist could not be read (" + loaded.readError +
                      "). Aborting to prevent data loss.");
            return false;
        }
    }

    plist_array_append_item(list, newEntry(name, port, dbPath));
    return saveConnections(list, file);
}

bool addConnection(const Connection& connection) {
    return addConnection(connection.name, connection.localPort, connection.dbPath);
}

void removeConnection(const std::string& name) {
    fs::path file = plistURL();
    Loaded loaded = loadConnections(file);
    plist_t list = loaded.list.get();
    uint32_t before = plist_array_get_size(list);
    for (uint32_t i = before; i > 0; --i)
        if (entryName(plist_array_get_item(list, i - 1)) == name)
            plist_array_remove_item(list, i - 1);
    if (plist_array_get_size(list) != before) (void)saveConnections(list, file);
}

bool isTablePlusInstalled() {
    return findExecutable().has_value();
}

bool isTablePlusRunning() {
    DIR* proc = ::opendir("/proc");
    if (!proc) return false;
    bool running = false;
    while (dirent* entry = ::readdir(proc)) {
        const char* pid = entry->d_name;
        if (*pid < '1' || *pid > '9') continue;
        std::string error;
        auto stat = readBytes(fs::path("/proc") / pid / "stat", error);
        if (!stat) continue; // the process ended meanwhile
        // "pid (comm) state ...": the name may itself hold parentheses and spaces.
        size_t open = stat->find('(');
        size_t close = stat->rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 2 >= stat->size())
            continue;
        char state = (*stat)[close + 2];
        if (stat->compare(open + 1, close - open - 1, "tableplus") == 0 && state != 'Z' &&
            state != 'X') {
            running = true;
            break;
        }
    }
    ::closedir(proc);
    return running;
}

void openTablePlus() {
    std::optional<fs::path> executable = findExecutable();
    if (!executable) return;
    // Everything the children need is prepared here: after fork only async-signal-safe calls.
    std::string path = executable->string();
    std::string home = homeDirectory().string();
    char name[] = "tableplus";
    char* argv[] = {name, nullptr};
    sigset_t noSignals;
    sigemptyset(&noSignals);
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;

    // Double fork: the launcher's own child exits at once and is reaped here, and TablePlus,
    // a grandchild in a session of its own, is adopted by init and never becomes our zombie.
    pid_t child = ::fork();
    if (child < 0) return;
    if (child == 0) {
        ::setsid();
        pid_t grandchild = ::fork();
        if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
        ::sigprocmask(SIG_SETMASK, &noSignals, nullptr);
        ::sigaction(SIGPIPE, &defaultAction, nullptr); // we ignore it; TablePlus should not
        int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
            if (null > STDERR_FILENO) ::close(null);
        }
        // Where a desktop would start it, not wherever our own process happens to be.
        if (::chdir(home.c_str()) != 0 && ::chdir("/") != 0) ::_exit(127);
        ::execv(path.c_str(), argv);
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace quillhaven::TablePlusHelper
