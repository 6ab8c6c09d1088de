// Fault injection for the setup tests: the directory calls below are
// interposed by this test program and fail with the given code while it is
// set (0: the real call).
#pragma once

#include <string>

namespace quilltest::faults {

extern int generateKeyPair; // every DDCGenerateKeyPair
extern int aclModification; // DDCModifyEntry carrying an "ACL" value
extern int resolve;         // DDCResolveName of resolveName
extern std::string resolveName;

inline void Reset() {
    generateKeyPair = aclModification = resolve = 0;
    resolveName.clear();
}

} // namespace quilltest::faults
