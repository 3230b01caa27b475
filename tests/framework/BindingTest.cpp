// Binding: the released versions and their table sizes, exactly FuncCount entries copied, the
// not-modelled reporter, and the globals every call checks.
#include "FrameworkFixture.h"

#include "FxExports.h"
#include "FxObject.h"

namespace {

WCHAR kLibrary[] = {'K', 'm', 'd', 'f', 'L', 'i', 'b', 'r', 'a', 'r', 'y', 0};
WCHAR kPathText[] = {'\\', 'S', 'e', 'r', 'v', 'i', 'c', 'e', 's', '\\', 'B', 'i', 'n', 'd', 0};

class BindingTest : public FrameworkFixture {
protected:
    void SetUp() override {
        FrameworkFixture::SetUp();
        RtlInitUnicodeString(&path_, kPathText);
        for (WDFFUNC& f : table_)
            f = kSentinel;
        RtlZeroMemory(&driverObject_, sizeof driverObject_);
    }

    NTSTATUS Bind(ULONG minor, ULONG count, PWCHAR component = kLibrary) {
        info_ = {sizeof(WDF_BIND_INFO), component, {1, minor, 0}, count, table_, NULL};
        return WdfVersionBind(&driverObject_, &path_, &info_, &globals_);
    }
    NTSTATUS Unbind() { return WdfVersionUnbind(&path_, &info_, globals_); }

    static void Sentinel() {}
    static constexpr WDFFUNC kSentinel = &Sentinel;
    WDFFUNC table_[450];
    WDF_BIND_INFO info_;
    UNICODE_STRING path_;
    DRIVER_OBJECT driverObject_;
    PWDF_COMPONENT_GLOBALS globals_ = nullptr;
};

TEST_F(BindingTest, Version11FillsExactlyItsTableAndNamesTheService) {
    ASSERT_EQ(Bind(1, 386), STATUS_SUCCESS);
    EXPECT_TRUE(HasEvent("WdfVersionBind KmdfLibrary 1.1 (386 functions)"));
    for (int i = 0; i < 386; ++i)
        EXPECT_NE(table_[i], kSentinel) << i;
    for (int i = 386; i < 450; ++i)
        EXPECT_EQ(table_[i], kSentinel) << "entry " << i << " is past the client's table";
    EXPECT_EQ(table_[WdfDriverCreateTableIndex], reinterpret_cast<WDFFUNC>(&imp_WdfDriverCreate));
    EXPECT_EQ(table_[WdfDeviceCreateTableIndex], reinterpret_cast<WDFFUNC>(&imp_WdfDeviceCreate));
    auto* globals = reinterpret_cast<PWDF_DRIVER_GLOBALS>(globals_);
    EXPECT_STREQ(globals->DriverName, "Bind");
    EXPECT_TRUE(globals->DisplaceDriverUnload);
    EXPECT_EQ(Unbind(), STATUS_SUCCESS);
    EXPECT_TRUE(HasEvent("WdfVersionUnbind KmdfLibrary 1.1"));
}

TEST_F(BindingTest, RefusesWhatNoReleasedVersionHas) {
    EXPECT_EQ(Bind(1, 387), STATUS_INVALID_PARAMETER); // 1.1 has 386
    EXPECT_EQ(TakeFindings("has 386 functions; the bind info asks for 387"), 1u);
    EXPECT_EQ(Bind(3, 386), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(TakeFindings("1.3 is no released version"), 1u);
    WCHAR other[] = {'O', 't', 'h', 'e', 'r', 0};
    EXPECT_EQ(Bind(1, 386, other), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(TakeFindings("no framework library of that name"), 1u);
    for (WDFFUNC f : table_)
        EXPECT_EQ(f, kSentinel);
    // None of them left a binding behind.
    ASSERT_EQ(Bind(15, 444), STATUS_SUCCESS);
    EXPECT_EQ(Unbind(), STATUS_SUCCESS);
}

TEST_F(BindingTest, OneBindingAtATimeAndUnbindMustMatchIt) {
    ASSERT_EQ(Bind(1, 386), STATUS_SUCCESS);
    WDF_BIND_INFO first = info_;
    PWDF_COMPONENT_GLOBALS firstGlobals = globals_;
    EXPECT_EQ(Bind(1, 386), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(TakeFindings("a driver is bound already"), 1u);
    info_ = first;
    WDF_DRIVER_GLOBALS foreign = {};
    EXPECT_EQ(WdfVersionUnbind(&path_, &info_, reinterpret_cast<PWDF_COMPONENT_GLOBALS>(&foreign)),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TakeFindings("no such binding"), 1u);
    globals_ = firstGlobals;
    EXPECT_EQ(Unbind(), STATUS_SUCCESS);
    EXPECT_EQ(Unbind(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TakeFindings("no such binding"), 1u);
}

TEST_F(BindingTest, UnmodelledEntriesAndForeignGlobalsAreFindings) {
    ASSERT_EQ(Bind(1, 386), STATUS_SUCCESS);
    table_[0](); // index 0 is a call the framework does not implement
    EXPECT_EQ(TakeFindings("function table entry 0 is not modelled"), 1u);
    WDF_DRIVER_GLOBALS foreign = {};
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, NULL);
    EXPECT_FALSE(
        NT_SUCCESS(imp_WdfDriverCreate(&foreign, &driverObject_, &path_, NULL, &config, NULL)));
    EXPECT_EQ(TakeFindings("WdfDriverCreate: called with driver globals the framework did not"),
              1u);
    EXPECT_EQ(Unbind(), STATUS_SUCCESS);
}

TEST_F(BindingTest, ADriverEntryThatFailsAfterWdfDriverCreateIsUnboundWithNothingLeft) {
    g_fxTestOptions.EntryStatus = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(kernel().Pnp().LoadDriver("FxTest", FxDriverEntry), nullptr);
    EXPECT_LT(EventIndex("WdfDriverCreate"), EventIndex("WdfVersionUnbind KmdfLibrary 1.1"));
    EXPECT_EQ(LiveObjects(), 0u);
    EXPECT_EQ(Order().find('u'), std::string::npos); // no unload routine for a failed entry
    // Unbound: the next client binds.
    ASSERT_EQ(Bind(1, 386), STATUS_SUCCESS);
    EXPECT_EQ(Unbind(), STATUS_SUCCESS);
}

TEST_F(BindingTest, WhatTheDriverLeftIsReportedAndFreedAtUnbind) {
    ASSERT_EQ(Bind(1, 386), STATUS_SUCCESS);
    FxObject* parent = nullptr;
    FxObject* child = nullptr;
    ASSERT_EQ(
        FxObjectCreate(sizeof(FxObject), FxTypeMemory, nullptr, nullptr, nullptr, "Test", &parent),
        STATUS_SUCCESS);
    ASSERT_EQ(
        FxObjectCreate(sizeof(FxObject), FxTypeMemory, nullptr, parent, nullptr, "Test", &child),
        STATUS_SUCCESS);
    EXPECT_EQ(Unbind(), STATUS_SUCCESS);
    EXPECT_EQ(TakeFindings("framework object WDFMEMORY leaked at driver unload"), 1u);
    EXPECT_EQ(LiveObjects(), 0u); // and the kernel finds no pool left at its end
}

} // namespace
