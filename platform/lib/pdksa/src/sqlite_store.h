// The SQLite store: one file shared by every process of the host, reached
// through a pool of connections, each with its prepared statements.
#pragma once

#include "store.h"

#include <atomic>
#include <string>

namespace pdksa {

class SqliteStore final : public Store {
  public:
    explicit SqliteStore(std::string path) : path_(std::move(path)) {}
    ~SqliteStore() override;
    const std::string& Path() const { return path_; }
    int Acquire(std::unique_ptr<Conn>& out) override;
    void release(std::unique_ptr<Conn> c) override;
    int MaintenanceAccess(bool needWrite, bool& readOnly) override;
    // A small mapped file beside the store, shared by every process.
    uint64_t Generation() const override;
    void Bump() override;
    bool CanAnnounce() const override { return gen_.load() != nullptr; }

  private:
    void OpenGeneration();
    std::string path_;
    std::mutex mu_;
    std::vector<std::unique_ptr<Conn>> idle_;
    std::atomic<uint64_t*> gen_{nullptr}; // mapped; null: no caching
};

int CreateSqliteStore(const std::string& path);
int ShareSqliteStore(const std::string& path, gid_t group);
int RemoveSqliteStore(const std::string& path);

} // namespace pdksa
