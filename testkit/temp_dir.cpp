#include "temp_dir.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace arbortest {

TempDir::TempDir(std::string_view prefix) : owner_(::getpid()) {
    std::string tmpl = "/tmp/" + std::string(prefix) + "-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    path_ = tmpl;
}

TempDir::~TempDir() {
    Remove();
}

void TempDir::Remove() {
    std::error_code ec;
    if (!path_.empty() && ::getpid() == owner_) std::filesystem::remove_all(path_, ec);
    path_.clear();
}

TempDir& TempDir::operator=(TempDir&& o) noexcept {
    if (this != &o) {
        Remove();
        path_ = std::move(o.path_);
        owner_ = o.owner_;
        o.path_.clear();
    }
    return *this;
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, std::string_view text) {
    std::ofstream(path, std::ios::binary) << text;
}

} // namespace arbortest
