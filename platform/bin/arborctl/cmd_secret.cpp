// arborctl secret: a fresh REVO shared secret, stored scrambled as the only
// "Quill:ACL" value of the product's container, where revod and the agents
// read it.
#include "arborctl.h"

#include "kdxcommon.h"
#include "revo_secret_store.h"

#include <cstdio>

namespace arborctl {
namespace {

constexpr const char* kHelp =
    "Usage: arborctl secret [--container NAME] [--show]\n\n"
    "Makes a fresh random REVO shared secret and stores it, scrambled, as the only\n"
    "\"Quill:ACL\" value of \"Internet Services\" below the tree root (or of the\n"
    "container NAME, a full name). The REVO servers and their agents derive the\n"
    "same secret from it; restart them to use it. --show prints the scrambled\n"
    "text, for a server started with --secret-text.\n";

int Run(Cli& cli, const std::vector<std::string>& in) {
    static const Command self{"secret", "", kHelp, Run};
    Args args;
    if (int rc = ParseOrUsage(self, in, {"container"}, {"show"}, args)) return rc;
    if (!args.positional.empty()) return Usage(self, "unexpected argument " + args.positional[0]);
    std::string container = args.get("container");
    if (container.empty()) {
        char tree[KDX_TREE_NAME_SIZE], dn[KDX_SERVER_DN_SIZE];
        if (KDXConfReadServerDN(cli.confPath.c_str(), tree, sizeof tree, dn, sizeof dn) != 1)
            return Fail("no tree in " + cli.confPath + "; give --container");
        container = std::string("\\") + tree + "\\Internet Services";
    }
    Directory d;
    if (int rc = d.Open(cli)) return rc;
    char text[REVO_SECRET_TEXT_LEN + 1];
    if (int rc = RevoStoreNewSecret(d.Ctx(), container.c_str(), text))
        return FailCode("cannot store the secret in \"Quill:ACL\" of " + container, rc);
    std::printf("stored a new shared secret in \"Quill:ACL\" of %s\n", container.c_str());
    if (args.Has("show")) std::printf("%s\n", text);
    return kOk;
}

} // namespace

ARBORCTL_COMMAND(kSecret, "secret", "store a fresh REVO shared secret as \"Quill:ACL\"", kHelp,
                 Run);

} // namespace arborctl
