// libkdx look-ups against a raw SQLite point look-up of the same data, on a
// tree of 10,000 objects. Each KDX benchmark reports its time per call as a
// multiple of the raw look-up measured just before it in the same run
// ("x_raw"), and its calls per second.
#include "kdx.h"
#include "kdxcommon.h"
#include "testtree.h"

#include <benchmark/benchmark.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kObjects = 10000;
const char* kContainer = "\\ACME\\Internet Services";

struct World {
    kdxtest::TestTree tree;
    sqlite3* db = nullptr;
    std::vector<std::string> names;  // relative names item<i>
    std::vector<std::string> lpaths; // folded full names as the store keeps them
    double rawReadNs = 0, rawExistsNs = 0, rawPasswordNs = 0;

    World() {
        if (tree.Build() != 0 || tree.AddItems(kContainer, "item", kObjects) != 0) {
            std::fprintf(stderr, "cannot build the benchmark tree\n");
            std::exit(1);
        }
        tree.UseEnvironment();
        if (KDXInit() != 1) {
            std::fprintf(stderr, "login failed\n");
            std::exit(1);
        }
        KDXValueStruct vs{};
        KDXInitValueStruct(kContainer, &vs);
        for (int i = 0; i < kObjects; ++i) {
            names.push_back("item" + std::to_string(i));
            lpaths.push_back("\\acme\\internet services\\item" + std::to_string(i));
            KDXAdd(names.back().c_str(), "KDXTest:Text", ("value of " + names.back()).c_str(), &vs);
        }
        KDXDestroyValueStruct(&vs);
        if (sqlite3_open_v2(tree.store.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
            std::exit(1);
    }
    ~World() {
        sqlite3_close(db);
        KDXShutdown();
    }
};

World& SharedWorld() {
    static World w;
    return w;
}

sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v3(SharedWorld().db, sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr) !=
        SQLITE_OK) {
        std::fprintf(stderr, "%s\n", sqlite3_errmsg(SharedWorld().db));
        std::exit(1);
    }
    return st;
}

double NsPerIteration(std::chrono::steady_clock::time_point start, benchmark::State& state) {
    auto ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start);
    return state.iterations() ? ns.count() / static_cast<double>(state.iterations()) : 0;
}

void Report(benchmark::State& state, double ns, double rawNs) {
    state.counters["calls_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    if (rawNs > 0) state.counters["x_raw"] = ns / rawNs;
}

// ---- KDXRead of one attribute through a warm value structure ----

void BM_RawSQLiteRead(benchmark::State& state) {
    World& w = SharedWorld();
    sqlite3_stmt* st = Prepare("SELECT v.v FROM obj o JOIN val v ON v.obj=o.id "
                               "WHERE o.lpath=? AND v.attr='kdxtest:text' ORDER BY v.seq");
    size_t i = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const std::string& p = w.lpaths[i++ % kObjects];
        sqlite3_bind_text(st, 1, p.data(), static_cast<int>(p.size()), SQLITE_STATIC);
        std::string value;
        while (sqlite3_step(st) == SQLITE_ROW)
            value.assign(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
        sqlite3_reset(st);
        benchmark::DoNotOptimize(value);
    }
    w.rawReadNs = NsPerIteration(start, state);
    Report(state, w.rawReadNs, 0);
    sqlite3_finalize(st);
}

void BM_KDXRead(benchmark::State& state) {
    World& w = SharedWorld();
    KDXValueStruct vs{};
    KDXInitValueStruct(kContainer, &vs);
    size_t i = 0;
    int bad = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        KDXFreeValues(&vs);
        bad += KDXRead(w.names[i++ % kObjects].c_str(), "KDXTest:Text", &vs) != 1;
    }
    Report(state, NsPerIteration(start, state), w.rawReadNs);
    if (bad) state.SkipWithError("KDXRead failed");
    KDXDestroyValueStruct(&vs);
}

// ---- KDXIsObject without a structure ----

void BM_RawSQLiteExists(benchmark::State& state) {
    World& w = SharedWorld();
    sqlite3_stmt* st = Prepare("SELECT id FROM obj WHERE lpath=?");
    size_t i = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const std::string& p = w.lpaths[i++ % kObjects];
        sqlite3_bind_text(st, 1, p.data(), static_cast<int>(p.size()), SQLITE_STATIC);
        benchmark::DoNotOptimize(sqlite3_step(st) == SQLITE_ROW);
        sqlite3_reset(st);
    }
    w.rawExistsNs = NsPerIteration(start, state);
    Report(state, w.rawExistsNs, 0);
    sqlite3_finalize(st);
}

void BM_KDXIsObject(benchmark::State& state) {
    World& w = SharedWorld();
    std::vector<std::string> full;
    for (const auto& n : w.names)
        full.push_back(std::string(kContainer) + "\\" + n);
    size_t i = 0;
    int bad = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state)
        bad += KDXIsObject(full[i++ % kObjects].c_str(), nullptr) != 1;
    Report(state, NsPerIteration(start, state), w.rawExistsNs);
    if (bad) state.SkipWithError("KDXIsObject failed");
}

// ---- KDXVerifyPassword: the raw side reads the stored hash and derives the
// same key, so the ratio shows what the layers add to the unavoidable work ----

void BM_RawSQLitePassword(benchmark::State& state) {
    World& w = SharedWorld();
    sqlite3_stmt* st = Prepare("SELECT p.salt, p.hash, p.iter FROM obj o JOIN pw p ON p.obj=o.id "
                               "WHERE o.lpath='\\acme\\internet services'");
    char pw[KDX_PASSWORD_LENGTH + 1];
    KDXPasswordCopy(pw, sizeof pw);
    int bad = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (sqlite3_step(st) != SQLITE_ROW) {
            ++bad;
        } else {
            const void* salt = sqlite3_column_blob(st, 0);
            int saltLen = sqlite3_column_bytes(st, 0);
            const void* hash = sqlite3_column_blob(st, 1);
            int hashLen = sqlite3_column_bytes(st, 1);
            int iter = sqlite3_column_int(st, 2);
            unsigned char out[64];
            if (hashLen > static_cast<int>(sizeof out) ||
                PKCS5_PBKDF2_HMAC(pw, KDX_PASSWORD_LENGTH, static_cast<const unsigned char*>(salt),
                                  saltLen, iter, EVP_sha256(), hashLen, out) != 1 ||
                CRYPTO_memcmp(out, hash, static_cast<size_t>(hashLen)) != 0)
                ++bad;
        }
        sqlite3_reset(st);
    }
    w.rawPasswordNs = NsPerIteration(start, state);
    Report(state, w.rawPasswordNs, 0);
    if (bad) state.SkipWithError("raw password check failed");
    sqlite3_finalize(st);
}

void BM_KDXVerifyPassword(benchmark::State& state) {
    World& w = SharedWorld();
    char pw[KDX_PASSWORD_LENGTH + 1];
    KDXPasswordCopy(pw, sizeof pw);
    int bad = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state)
        bad += KDXVerifyPassword("Internet Services", pw, nullptr) != 1;
    Report(state, NsPerIteration(start, state), w.rawPasswordNs);
    if (bad) state.SkipWithError("KDXVerifyPassword failed");
}

} // namespace

BENCHMARK(BM_RawSQLiteRead);
BENCHMARK(BM_KDXRead);
BENCHMARK(BM_RawSQLiteExists);
BENCHMARK(BM_KDXIsObject);
BENCHMARK(BM_RawSQLitePassword);
BENCHMARK(BM_KDXVerifyPassword);

BENCHMARK_MAIN();
