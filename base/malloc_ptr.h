// Ownership of memory that C interfaces hand over from malloc.
#pragma once

#include <cstdlib>
#include <memory>

// Linked into the shared libraries too: never part of their interface.
#pragma GCC visibility push(hidden)

namespace arbor {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// A block from malloc/calloc/realloc, or from a C interface that says the
// caller frees it.
template <typename T> using MallocPtr = std::unique_ptr<T, FreeDeleter>;

} // namespace arbor

#pragma GCC visibility pop
