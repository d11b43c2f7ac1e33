// The instance guard on Windows: an object of its name is a running
// instance only when this user made it. Another user with a process in the
// session could make one first.

#include "platform/process/Process.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

std::string uniqueName(const char* what)
{
    return std::string("{corvane-guard-test}-") + what + "-" + std::to_string(::GetCurrentProcessId());
}

} // namespace

TEST(InstanceGuardTest, sameUsersGuard_isARunningInstance)
{
    const std::string name = uniqueName("own");
    const platform::InstanceGuard first(name);
    EXPECT_FALSE(first.alreadyRunning());
    EXPECT_EQ(platform::probeInstanceGuard(name), platform::GuardState::held);
    const platform::InstanceGuard second(name);
    EXPECT_TRUE(second.alreadyRunning());
    EXPECT_EQ(second.problem(), "");
    EXPECT_EQ(platform::instanceGuardProblem(name), "");
}

TEST(InstanceGuardTest, objectOfTheNameMadeByAnotherUser_isNoInstanceAndIsNamed)
{
    // An object owned by the local system account stands in for another
    // user's; making one takes a privilege that a plain user lacks.
    BYTE systemSid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof systemSid;
    ASSERT_TRUE(::CreateWellKnownSid(WinLocalSystemSid, nullptr, systemSid, &sidSize));
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(::SetSecurityDescriptorOwner(&descriptor, systemSid, FALSE));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)); // open to all
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    const std::string name = uniqueName("foreign");
    const std::wstring wideName(name.begin(), name.end());
    const HANDLE planted = ::CreateMutexW(&attributes, FALSE, wideName.c_str());
    if (planted == nullptr) {
        GTEST_SKIP() << "cannot make an object owned by another account here (error " << ::GetLastError() << ")";
    }

    const platform::InstanceGuard guard(name);
    EXPECT_FALSE(guard.alreadyRunning());
    EXPECT_NE(guard.problem().find("made by another user"), std::string::npos) << guard.problem();
    EXPECT_EQ(platform::probeInstanceGuard(name), platform::GuardState::free);
    EXPECT_NE(platform::instanceGuardProblem(name).find("made by another user"), std::string::npos);
    ::CloseHandle(planted);
}
