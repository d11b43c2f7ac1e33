// The bridge's own contract, in-process, against a small stub module.

#include <p11-kit/pkcs11.h>

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

using GetAuxFn = CK_RV (*)(void**);
using FlagsFn = CK_FLAGS (*)(unsigned);

// The bridge reads KESTOVA_BRIDGE_MODULE once it is first asked; every test
// here shares that one target.
class BridgeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ::setenv("KESTOVA_BRIDGE_MODULE", CORVANE_BRIDGE_STUB, 1);
        s_bridge = ::dlopen(CORVANE_BRIDGE, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(s_bridge, nullptr) << ::dlerror();
        auto getList = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(s_bridge, "C_GetFunctionList"));
        ASSERT_NE(getList, nullptr);
        ASSERT_EQ(getList(&s_functions), CKR_OK);
        ASSERT_NE(s_functions, nullptr);
        ASSERT_EQ(s_functions->C_Initialize(nullptr), CKR_OK);
    }

    static void* s_bridge;
    static CK_FUNCTION_LIST_PTR s_functions;
};

void* BridgeTest::s_bridge = nullptr;
CK_FUNCTION_LIST_PTR BridgeTest::s_functions = nullptr;

TEST_F(BridgeTest, auxFunctionList_isZeroWithATable)
{
    auto getAux = reinterpret_cast<GetAuxFn>(::dlsym(s_bridge, "Kv_GetAuxFunctionList"));
    ASSERT_NE(getAux, nullptr);
    void* table = nullptr;
    EXPECT_EQ(getAux(&table), 0u);
    EXPECT_NE(table, nullptr);
    EXPECT_EQ(getAux(nullptr), CKR_ARGUMENTS_BAD);
}

TEST_F(BridgeTest, slotList_leavesOutUninitializedTokensAndKeepsEmptySlots)
{
    CK_ULONG count = 0;
    ASSERT_EQ(s_functions->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    ASSERT_EQ(count, 1u);
    CK_SLOT_ID slot = 0;
    ASSERT_EQ(s_functions->C_GetSlotList(CK_TRUE, &slot, &count), CKR_OK);
    EXPECT_EQ(slot, 1u);

    ASSERT_EQ(s_functions->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    ASSERT_EQ(count, 2u);
    std::vector<CK_SLOT_ID> slots(1);
    count = 1;
    EXPECT_EQ(s_functions->C_GetSlotList(CK_FALSE, slots.data(), &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u);
    slots.resize(2);
    ASSERT_EQ(s_functions->C_GetSlotList(CK_FALSE, slots.data(), &count), CKR_OK);
    EXPECT_EQ(slots, (std::vector<CK_SLOT_ID>{1, 3}));
}

TEST_F(BridgeTest, readWriteSessionOnWriteProtectedToken_isOpenedReadOnly)
{
    auto flagsOf = reinterpret_cast<FlagsFn>(::dlsym(::dlopen(CORVANE_BRIDGE_STUB, RTLD_NOW | RTLD_NOLOAD),
                                                     "stubOpenSessionFlags"));
    ASSERT_NE(flagsOf, nullptr);
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(s_functions->C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session), CKR_OK);
    EXPECT_EQ(session, 7u);
    EXPECT_EQ(flagsOf(0), CKF_SERIAL_SESSION | CKF_RW_SESSION);
    EXPECT_EQ(flagsOf(1), CKF_SERIAL_SESSION);
    // Other refusals are passed on as they are.
    EXPECT_EQ(s_functions->C_OpenSession(2, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
              CKR_TOKEN_NOT_RECOGNIZED);
    EXPECT_EQ(flagsOf(3), ~CK_FLAGS{0});
}

} // namespace
