#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quillhaven {

// A small typed key-value store kept as one JSON object in a file: byte buffers (base64
// text), string arrays, Booleans and texts. Every read goes to the file, so writes made by
// someone else are seen; every write re-reads the file, changes one key and replaces the
// file atomically (temporary file, fsync, rename, fsync of the folder), so a crash never
// leaves a torn or empty file. A file that is not a JSON object is renamed aside with a
// timestamp instead of being overwritten.
class KeyValueFile {
public:
    explicit KeyValueFile(std::filesystem::path file);
    virtual ~KeyValueFile() = default;

    const std::filesystem::path& path() const { return path_; }

    // Each getter answers nothing when the key is absent or holds another type.
    std::optional<std::string> bytes(const std::string& key) const;
    // Nothing also when any element is not a string.
    std::optional<std::vector<std::string>> stringArray(const std::string& key) const;
    std::optional<bool> boolean(const std::string& key) const;
    std::optional<std::string> string(const std::string& key) const;
    bool contains(const std::string& key) const;

    // false when the file could not be written (a line on standard error says why).
    bool setBytes(const std::string& key, const std::string& bytes);
    bool setStringArray(const std::string& key, const std::vector<std::string>& values);
    bool setBoolean(const std::string& key, bool value);
    bool setString(const std::string& key, const std::string& value);
    bool remove(const std::string& key);

protected:
    // Called with the exact bytes about to replace the file, before the rename.
    virtual void willWrite(const std::string& /*content*/) {}

private:
    template <class F> bool modify(F&& change);

    std::filesystem::path path_;
};

} // namespace quillhaven
