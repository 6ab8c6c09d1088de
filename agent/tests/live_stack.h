// The real processes together: a test directory, revod with its queue and
// calendar store, and dayward registered with it. Messages go in and
// calendars and mailboxes come back through revoctl.
#pragma once

#include "peer.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace agenttest {

// The status of attendee who in revoctl's listing of a calendar ("" when
// the listing does not name who).
std::string StatusOf(const std::string& listing, const std::string& who);

class LiveStack : public ::testing::Test {
  protected:
    // revod listens on addr; secretArgs tell it which secret to use.
    LiveStack(std::string addr, std::vector<std::string> secretArgs)
        : addr_(std::move(addr)), secretArgs_(std::move(secretArgs)) {}
    void SetUp() override;
    void TearDown() override;

    // Starts the agent (killing one left running) with extra environment, and
    // waits until revod has its registration and it listens; sets port_.
    void StartAgent(const std::map<std::string, std::string>& extra = {});
    // Registrations for queue 5 that revod has logged.
    size_t Registrations();
    // Runs revoctl against the server; true on success, its output in out.
    bool Ctl(const std::string& args, std::string* out = nullptr);
    void Submit(const std::string& from, const std::vector<std::string>& to,
                const std::string& message);
    void Seed(const std::string& user, const std::string& ics);
    std::string Calendar(const std::string& user);
    // The queue entries whose messages the user's mailbox holds, one per message.
    std::vector<std::string> Mailbox(const std::string& user);
    size_t MailboxCount(const std::string& user) { return Mailbox(user).size(); }
    bool QueueEmpty(int timeoutMs = 20000);

    const std::string addr_;
    const std::vector<std::string> secretArgs_;
    TempDir tmp_{"dayward-test"};
    const std::string dir_ = tmp_.Str();
    std::map<std::string, std::string> env_;
    Process revod_, agent_;
    int port_ = -1;
    int serial_ = 0;
};

} // namespace agenttest
