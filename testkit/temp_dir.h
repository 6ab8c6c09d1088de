// A fresh directory under /tmp, removed with everything in it at the end of
// its owner's life - by the process that made it only, so that a forked child
// (a death test, say) that exits never takes it from the parent.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace arbortest {

class TempDir {
  public:
    // The name starts with prefix; aborts when no directory can be made, since
    // no test can go on without one.
    explicit TempDir(std::string_view prefix = "arbor-test");
    ~TempDir();
    TempDir(TempDir&& o) noexcept : path_(std::move(o.path_)), owner_(o.owner_) { o.path_.clear(); }
    TempDir& operator=(TempDir&& o) noexcept;
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::string Str() const { return path_.string(); }
    // A path inside the directory.
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

  private:
    void Remove();
    std::filesystem::path path_;
    int owner_; // pid of the process that made it
};

// The whole of a file, empty when it cannot be read.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, std::string_view text);

} // namespace arbortest
