// The directory work of the setup tool against a real store: schema passes, the
// product's containers and login object, server objects, update and removal.
#include "directory_fixture.h"
#include "faults.h"
#include "kdxcommon.h"
#include "quillschema.h"

#include <gtest/gtest.h>

#include <algorithm>

using quilltest::DirectoryTest;
using quilltest::Recorder;
using Strings = std::vector<std::string>;

namespace {

// Attachments the definition pass makes, from the tables.
int Attachments() {
    int n = 0;
    for (const QuillClassRow* c = QuillClass; c->name; ++c) {
        for (const QuillAttrRow* a = QuillAttr; a->name; ++a)
            n += ((a->optionalBits & c->bits) != 0) + ((a->optionalBits2 & c->bits2) != 0);
        for (const QuillAttrRow* a = QuillSpecialAttr; a->name; ++a)
            n += (a->optionalBits & c->bits) != 0;
    }
    return n;
}

std::string BuiltInPassword() {
    char pw[KDX_PASSWORD_LENGTH + 1];
    EXPECT_EQ(KDXPasswordCopy(pw, sizeof pw), 1);
    return pw;
}

bool Contains(const std::vector<std::string>& v, const std::string& needle) {
    return std::any_of(v.begin(), v.end(),
                       [&](const std::string& s) { return s.find(needle) != std::string::npos; });
}

class SchemaTest : public DirectoryTest {
  protected:
    const std::string services = "\\ACME\\Internet Services";
    const std::string server = services + "\\MAIL1 Messaging Server";
    const std::string store = server + "\\REVO Agent";

    // The form's defaults with an official domain.
    quill::ServerConfig Config() const {
        quill::ServerConfig cfg;
        cfg.msgServerName = site_.msgServerName;
        cfg.officialName = "acme.example";
        return cfg;
    }
    void CreateServer(const quill::ServerConfig& cfg, quill::Progress progress = nullptr) {
        quill::CreateServer(admin_, site_, "\\ACME\\org\\Admin", cfg, std::move(progress));
    }
};

TEST(AdminName, DottedNamesBecomeFullNames) {
    EXPECT_EQ(quill::FullAdminName("\\TREE", "Admin.Org"), "\\TREE\\Org\\Admin");
    EXPECT_EQ(quill::FullAdminName("\\TREE", "Admin.Org.TREE"), "\\TREE\\Org\\Admin");
    EXPECT_EQ(quill::FullAdminName("\\TREE", "CN=Admin.O=Org"), "\\TREE\\O=Org\\CN=Admin");
    EXPECT_EQ(quill::FullAdminName("\\TREE", "Admin"), "\\TREE\\Admin");
    EXPECT_EQ(quill::FullAdminName("\\TREE", "\\TREE\\x\\Admin"), "\\TREE\\x\\Admin");
}

TEST(SiteNames, ComeFromTheServerName) {
    quill::Site s = quill::Site::Make("ACME", "\\ACME\\org\\sales\\MAIL1");
    EXPECT_EQ(s.localTree, "\\ACME");
    EXPECT_EQ(s.installHost, "\\ACME\\org\\sales\\MAIL1");
    EXPECT_EQ(s.installContext, "org\\sales");
    EXPECT_EQ(s.msgServerName, "MAIL1 Messaging Server");
    EXPECT_TRUE(quill::Site::Make("ACME", "\\OTHER\\MAIL1").localTree.empty());
    EXPECT_EQ(quill::AliasOptions(quill::kAliasManual), "1");
    EXPECT_EQ(quill::AliasOptions(quill::kAliasFirstLast), "12");
    EXPECT_EQ(quill::AliasOptions(quill::kAliasBarFullname), "132");
}

TEST_F(SchemaTest, FirstDefinitionCreatesEverythingAndASecondChangesNothing) {
    Recorder first;
    quill::DefineSchema(admin_, site_, first.Callback());
    // Only the repeated "Velmora:Reply Message" row fails.
    EXPECT_EQ(first.CountSuffix(" created"), 162 - 1 + 6);
    EXPECT_EQ(first.Count("   Velmora:Reply Message not created"), 1);
    EXPECT_EQ(first.CountSuffix(" defined"), 34);
    EXPECT_EQ(first.CountSuffix(" already defined"), 0);
    EXPECT_EQ(first.CountSuffix(" added") + first.CountSuffix(" already added"), Attachments());
    // The repeated row meets its own first attachment to two classes.
    EXPECT_EQ(first.CountSuffix(" already added"), 2);
    EXPECT_EQ(first.CountSuffix(" not added"), 0);
    EXPECT_EQ(first.Count("Schema extended"), 1);

    EXPECT_TRUE(Exists(services + "\\Templates\\Webmail"));
    EXPECT_TRUE(Exists(services + "\\Mailing Lists"));
    EXPECT_TRUE(Exists(services + "\\Parent Objects"));
    auto acl = Values("\\ACME", "ACL");
    EXPECT_TRUE(Contains(acl, "31#[Entry Rights]#"));
    EXPECT_TRUE(Contains(acl, "47#[All Attributes Rights]#"));

    Recorder second;
    quill::DefineSchema(admin_, site_, second.Callback());
    EXPECT_EQ(second.CountSuffix(" not created"), 162 + 6);
    EXPECT_EQ(second.CountSuffix(" already defined"), 34);
    EXPECT_EQ(second.CountSuffix(" already added"), Attachments());
    EXPECT_EQ(Values("\\ACME", "ACL").size(), acl.size());
}

TEST_F(SchemaTest, InternetServicesIsALoginWithRightsBelowTheTree) {
    quill::DefineSchema(admin_, site_, nullptr);
    DDCContextHandle svc = LoginAs(services, BuiltInPassword());
    // The granted rights let it write below the tree root.
    DDCEntry e{DDC_OP_ADD_VALUE, DDC_SYN_TEXT, 0, 0, "Quill:ACL", 0, 0, "secret"};
    ASSERT_EQ(DDCResolveName(svc, DDC_RESOLVE_FOR_WRITE, services.c_str()), 0);
    EXPECT_EQ(DDCModifyEntry(svc, 1, &e), 0);
    EXPECT_EQ(Values(services, "Quill:ACL"), Strings{"secret"});
}

TEST_F(SchemaTest, DefaultServerHasEveryAgentAndItsLinks) {
    quill::DefineSchema(admin_, site_, nullptr);
    EXPECT_FALSE(quill::ServerConfigured(admin_, site_));
    Recorder r;
    CreateServer(Config(), r.Callback());
    EXPECT_EQ(r.CountSuffix(" not created"), 0);
    EXPECT_EQ(r.Count("Links to REVO created"), 1);
    EXPECT_EQ(r.Count("Links to TWP Server created"), 1);
    EXPECT_TRUE(quill::ServerConfigured(admin_, site_));

    EXPECT_EQ(Values(server + "\\Calendar Agent", "Velmora:REVO Server"),
              Strings{"Internet Services\\MAIL1 Messaging Server\\REVO Agent"});
    EXPECT_EQ(Values(server + "\\Calendar Agent", "Velmora:Module Name"), Strings{"DAYWARD.FLM"});
    EXPECT_EQ(Values(server, "Velmora:Official Name"), Strings{"acme.example"});
    EXPECT_EQ(Values(server, "Velmora:Context"), Strings{"org\\sales"});
    EXPECT_TRUE(Values(server, "Velmora:Resolver").empty());
    EXPECT_EQ(Values(store, "Velmora:Client").size(), 5u); // no alias agent by default
    EXPECT_FALSE(Exists(server + "\\Alias Agent"));
    EXPECT_EQ(Values(store, "Velmora:Quota Message").front().find('\n'), 76u);
    EXPECT_EQ(Values(server + "\\SMTP Agent", "Quill:RBL Host"), Strings{quill::kBlocklistZone});
    EXPECT_TRUE(Values(server + "\\IMAP Agent", "Velmora:REVO Server").empty());
    EXPECT_TRUE(Exists(server + "\\Lattice Agent\\Quill Task Managment Module"));
    EXPECT_EQ(Values(server + "\\Lattice Agent", "Quill:Template").size(), 2u);
    EXPECT_EQ(Values(site_.installHost, "Velmora:Messaging Server"),
              Strings{"Internet Services\\MAIL1 Messaging Server"});
}

TEST_F(SchemaTest, EverySwitchOffMakesOnlyTheServerAndItsStore) {
    quill::DefineSchema(admin_, site_, nullptr);
    quill::ServerConfig cfg = Config();
    cfg.dns1 = "192.0.2.53";
    cfg.smtp = cfg.pop = cfg.imap = cfg.lattice = cfg.forward = cfg.dayward = cfg.ldap =
        cfg.antiSpam = cfg.proxy = false;
    cfg.aliasing = quill::kAliasFirstDotLast;
    Recorder r;
    CreateServer(cfg, r.Callback());
    auto objects = [](const Recorder& rec) {
        return rec.CountSuffix(" created") - rec.Count("Links to REVO created") -
               rec.Count("Links to TWP Server created");
    };
    EXPECT_EQ(objects(r), 3);
    EXPECT_EQ(Values(server, "Velmora:Resolver"), Strings{"192.0.2.53"});
    EXPECT_EQ(Values(server + "\\Alias Agent", "Velmora:Alias Options"), Strings{"36"});
    EXPECT_EQ(Values(store, "Velmora:Client"),
              Strings{"Internet Services\\MAIL1 Messaging Server\\Alias Agent"});
    EXPECT_FALSE(Exists(server + "\\SMTP Agent"));

    // Nothing at all: no client links, yet the server still learns its messaging server.
    DDCRemoveEntry(admin_, (server + "\\Alias Agent").c_str());
    DDCRemoveEntry(admin_, store.c_str());
    DDCRemoveEntry(admin_, server.c_str());
    cfg.aliasing = quill::kAliasNone;
    cfg.dns1.clear();
    Recorder none;
    CreateServer(cfg, none.Callback());
    EXPECT_EQ(objects(none), 2);
    EXPECT_EQ(none.Count("Links to REVO created") + none.Count("Links to REVO not created"), 0);
    EXPECT_TRUE(Values(store, "Velmora:Client").empty());
    EXPECT_EQ(Values(site_.installHost, "Velmora:Messaging Server").size(), 1u);
}

TEST_F(SchemaTest, UpdateReplacesTheOldWebMailAgent) {
    ASSERT_NO_FATAL_FAILURE(ServerWithOldWebMailAgent(server));
    const std::string webmail = server + "\\WebMail Agent";

    quill::UpdateServer(admin_, site_, nullptr);
    const std::string lattice = server + "\\Lattice Agent";
    EXPECT_EQ(Values(lattice, "Velmora:Port"), Strings{"8080"});
    EXPECT_EQ(Values(lattice, "Velmora:SSL Port"), Strings{"8443"});
    EXPECT_EQ(Values(lattice + "\\Quill Calendar Module", "Velmora:REVO Queue Server"),
              Strings{"Internet Services\\MAIL1 Messaging Server\\REVO Agent"});
    EXPECT_EQ(Values(webmail, "Velmora:Disabled"), Strings{"1"});

    // A second update finds the web-client agent and leaves everything as it is.
    Recorder again;
    quill::UpdateServer(admin_, site_, again.Callback());
    EXPECT_TRUE(again.lines.empty());
    EXPECT_EQ(Values(lattice, "Velmora:Port"), Strings{"8080"});
}

TEST_F(SchemaTest, OldContainerIsRenamed) {
    quill::DefineSchema(admin_, site_, nullptr);
    ASSERT_EQ(DDCModifyRDN(admin_, services.c_str(), "Velmora Services", 1), 0);
    quill::MoveOldContainer(admin_, site_, nullptr);
    EXPECT_TRUE(Exists(services + "\\Templates"));
    EXPECT_FALSE(Exists("\\ACME\\Velmora Services"));
    // Nothing to move: nothing happens.
    quill::MoveOldContainer(admin_, site_, nullptr);
    EXPECT_TRUE(Exists(services));
}

TEST_F(SchemaTest, RemovalAsksBeforeTheSubtreeAndThenTakesEverything) {
    quill::DefineSchema(admin_, site_, nullptr);
    CreateServer(Config());

    int asked = 0;
    auto no = [&] {
        ++asked;
        return false;
    };
    EXPECT_EQ(quill::RemoveSchema(admin_, site_, nullptr, no), quill::Removal::Declined);
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(Exists(server + "\\Calendar Agent"));
    EXPECT_TRUE(quill::ServerConfigured(admin_, site_));

    auto yes = [&] {
        ++asked;
        return true;
    };
    Recorder r;
    EXPECT_EQ(quill::RemoveSchema(admin_, site_, r.Callback(), yes), quill::Removal::Done);
    EXPECT_EQ(asked, 2);
    EXPECT_FALSE(Exists(services));
    EXPECT_FALSE(quill::ServerConfigured(admin_, site_));
    EXPECT_EQ(r.Count("Quill Schema extensions removed"), 1);
    // The definitions are gone: defining again creates them anew.
    Recorder again;
    quill::DefineSchema(admin_, site_, again.Callback());
    EXPECT_EQ(again.CountSuffix(" defined"), 34);
    EXPECT_EQ(again.CountSuffix(" already defined"), 0);
}

TEST_F(SchemaTest, AForeignInternetServicesStopsTheRemoval) {
    ASSERT_EQ(Create(services, "Organizational Unit"), DDCERR_ILLEGAL_CONTAINMENT);
    // An ordinary unit of that name inside an organization-less tree is not possible
    // here, so use the unit class below a renamed organization.
    ASSERT_EQ(DDCModifyRDN(admin_, "\\ACME\\org", "Internet Services", 1), 0);
    site_ = quill::Site::Make("ACME", "\\ACME\\Internet Services\\sales\\MAIL1");
    int asked = 0;
    EXPECT_EQ(quill::RemoveSchema(admin_, site_, nullptr, [&] { return ++asked, true; }),
              quill::Removal::ForeignContainer);
    EXPECT_EQ(asked, 0);
    EXPECT_TRUE(Exists("\\ACME\\Internet Services\\sales\\MAIL1"));
    // Defining the schema beside it never gives the foreign object a password.
    quill::DefineSchema(admin_, site_, nullptr);
    DDCContextHandle c = 0;
    ASSERT_EQ(DDCCreateContext(1, &c), 0);
    ASSERT_EQ(DDCResolveName(c, DDC_RESOLVE_WRITE, services.c_str()), 0);
    EXPECT_NE(DDCLogin(c, BuiltInPassword().c_str()), 0);
    DDCFreeContext(c);
}

TEST_F(SchemaTest, AUserWithoutRightsChangesNothingAndNothingBreaks) {
    ASSERT_EQ(Create("\\ACME\\org\\Clerk", "User"), 0);
    ASSERT_EQ(DDCResolveName(admin_, DDC_RESOLVE_FOR_WRITE, "\\ACME\\org\\Clerk"), 0);
    ASSERT_EQ(DDCGenerateKeyPair(admin_, "clerk-pw"), 0);
    DDCContextHandle clerk = LoginAs("\\ACME\\org\\Clerk", "clerk-pw");
    Recorder r;
    quill::DefineSchema(clerk, site_, r.Callback());
    // Internet Services fails and ends its step: its sub-containers are not tried.
    EXPECT_EQ(r.CountSuffix(" not created"), 162 + 1);
    EXPECT_TRUE(Contains(r.lines, "Creating Internet Services failed: DS Error: "));
    EXPECT_EQ(r.Count("Schema extended"), 0);
    EXPECT_EQ(r.CountSuffix(" definition failed"), 34);
    EXPECT_FALSE(Exists(services));
    EXPECT_EQ(quill::RemoveSchema(clerk, site_, nullptr, [] { return true; }),
              quill::Removal::Done);
}

TEST_F(SchemaTest, AttributeDefinitionsAreRemovedByRawRequest) {
    DDCAttrDef def{DDC_ATTRDEF_SINGLE_VALUED, DDC_SYN_TEXT, 0, 0, 0, 0};
    ASSERT_EQ(DDCDefineAttribute(admin_, "Quill:Scratch", &def), 0);
    EXPECT_EQ(DDCRemoveAttributeDefinition(admin_, "Quill:Scratch"), 0);
    EXPECT_EQ(DDCRemoveAttributeDefinition(admin_, "Quill:Scratch"), DDCERR_NO_SUCH_ATTRIBUTE);
    // A name that cannot fit the 512-byte request is refused, not written past it.
    std::string huge(400, 'x');
    EXPECT_NE(DDCRemoveAttributeDefinition(admin_, huge.c_str()), 0);
}

// Failures are shown with the catalogue's text and end their step: nothing
// is reported done that was not, and nothing is made below what is missing.
TEST_F(SchemaTest, FailuresAreShownAndStopTheirStep) {
    struct Cleanup {
        ~Cleanup() { quilltest::faults::Reset(); }
    } cleanup;
    const std::string refused =
        std::string("failed: DS Error: ") + DirectoryErrorText(DDCERR_NO_ACCESS);
    // The login password cannot be set; the rights at the tree root cannot be granted.
    const struct {
        int* fault;
        std::string shown;
    } refusals[] = {
        {&quilltest::faults::generateKeyPair, "Setting the password of Internet Services "},
        {&quilltest::faults::aclModification, "Granting rights at \\ACME "}};
    for (const auto& row : refusals) {
        SCOPED_TRACE(row.shown);
        quilltest::faults::Reset();
        *row.fault = DDCERR_NO_ACCESS;
        Recorder r;
        quill::DefineSchema(admin_, site_, r.Callback());
        EXPECT_TRUE(Contains(r.lines, row.shown + refused));
        EXPECT_EQ(r.Count("Schema extended"), 0);
        EXPECT_FALSE(Exists(services + "\\Templates"));
        EXPECT_FALSE(Contains(Values("\\ACME", "ACL"), "Internet Services"));
    }
    // Nothing in the way: done, and said so.
    quilltest::faults::Reset();
    Recorder done;
    quill::DefineSchema(admin_, site_, done.Callback());
    EXPECT_EQ(done.Count("Schema extended"), 1);
    EXPECT_TRUE(Exists(services + "\\Templates"));
    EXPECT_FALSE(Contains(done.lines, "DS Error"));

    // The server cannot be found after its creation: no agents below nothing.
    quill::ServerConfig cfg = Config();
    quilltest::faults::resolve = DDCERR_NO_SUCH_ENTRY;
    quilltest::faults::resolveName = server;
    Recorder lost;
    CreateServer(cfg, lost.Callback());
    EXPECT_TRUE(Contains(lost.lines, "Finding " + server + " failed: DS Error: " +
                                         DirectoryErrorText(DDCERR_NO_SUCH_ENTRY)));
    EXPECT_EQ(lost.CountSuffix(" created"), 1); // the server object only
    quilltest::faults::Reset();
    EXPECT_FALSE(Exists(store));
    EXPECT_FALSE(quill::ServerConfigured(admin_, site_));
    // Its container missing: nothing at all.
    quilltest::faults::resolve = DDCERR_NO_SUCH_ENTRY;
    quilltest::faults::resolveName = services;
    Recorder noContainer;
    cfg.msgServerName = "Other";
    CreateServer(cfg, noContainer.Callback());
    EXPECT_TRUE(Contains(noContainer.lines, "Finding " + services + " failed"));
    EXPECT_EQ(noContainer.CountSuffix(" created"), 0);
    quilltest::faults::Reset();
    EXPECT_FALSE(Exists(services + "\\Other"));
}

} // namespace
