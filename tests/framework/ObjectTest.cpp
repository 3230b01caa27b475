// The object model: handles that go stale, children deleted before their parent, contexts
// (zeroed, sized, typed), cleanup before destroy, and what the driver may not delete.
#include "FrameworkFixture.h"

#include "FxEntry.h"
#include "FxExports.h"
#include "FxObject.h"

#include <string>

namespace {

WCHAR kLibrary[] = {'K', 'm', 'd', 'f', 'L', 'i', 'b', 'r', 'a', 'r', 'y', 0};
WCHAR kPathText[] = {'\\', 'O', 'b', 'j', 0};

struct Small {
    ULONG64 Words[1];
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(Small, SmallOf)
struct Other {
    ULONG Value;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(Other, OtherOf)

std::string g_order;
WDFOBJECT g_parent;
BOOLEAN g_contextInDestroy;
PWDF_DRIVER_GLOBALS g_globals;

VOID NoteCleanup(WDFOBJECT handle) {
    g_order += handle == g_parent ? "P" : "c";
}
VOID NoteDestroy(WDFOBJECT handle) {
    g_order += "d";
    g_contextInDestroy =
        imp_WdfObjectGetTypedContextWorker(g_globals, handle, &WDF_Small_TYPE_INFO) != nullptr;
}

class ObjectTest : public FrameworkFixture {
protected:
    void SetUp() override {
        FrameworkFixture::SetUp();
        g_order.clear();
        g_parent = nullptr;
        g_contextInDestroy = FALSE;
        RtlInitUnicodeString(&path_, kPathText);
        // The stub's table and globals: the context accessors call through them.
        info_ = {sizeof(WDF_BIND_INFO), kLibrary, {1, 1, 0}, 386, WdfFunctions, NULL};
        ASSERT_EQ(WdfVersionBind(&driverObject_, &path_, &info_, &component_), STATUS_SUCCESS);
        g_globals = reinterpret_cast<PWDF_DRIVER_GLOBALS>(component_);
        WdfDriverGlobals = g_globals;
    }
    void TearDown() override {
        EXPECT_EQ(FxObjectsLive(), 0u);
        EXPECT_EQ(WdfVersionUnbind(&path_, &info_, component_), STATUS_SUCCESS);
        WdfDriverGlobals = nullptr;
        FrameworkFixture::TearDown();
    }

    FxObject* Make(FxObject* parent, PWDF_OBJECT_ATTRIBUTES attributes = nullptr,
                   NTSTATUS expected = STATUS_SUCCESS) {
        FxObject* object = nullptr;
        EXPECT_EQ(FxObjectCreate(sizeof(FxObject), FxTypeMemory, attributes, parent, nullptr,
                                 "Test", &object),
                  expected);
        return object;
    }

    WDF_BIND_INFO info_;
    UNICODE_STRING path_;
    DRIVER_OBJECT driverObject_ = {};
    PWDF_COMPONENT_GLOBALS component_ = nullptr;
};

TEST_F(ObjectTest, ChildrenGoBeforeTheirParentAndTheirHandlesGoStale) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = NoteCleanup;
    FxObject* parent = Make(nullptr, &attributes);
    g_parent = parent->Handle;
    FxObject* child = Make(parent, &attributes);
    attributes.ParentObject = child->Handle; // the attributes' parent wins over the argument
    FxObject* grandchild = Make(parent, &attributes);
    ASSERT_EQ(grandchild->Parent, child);
    WDFOBJECT childHandle = child->Handle;
    WDFOBJECT grandchildHandle = grandchild->Handle;
    EXPECT_EQ(FxObjectsLive(), 3u);

    FxObjectDelete(parent);
    EXPECT_EQ(g_order, "ccP");
    EXPECT_EQ(FxObjectsLive(), 0u);
    EXPECT_EQ(FxObjectResolveAny(childHandle, "Test"), nullptr);
    EXPECT_EQ(FxObjectResolveAny(grandchildHandle, "Test"), nullptr);
    EXPECT_EQ(TakeFindings("names no live framework object"), 2u);
}

TEST_F(ObjectTest, AReusedSlotDoesNotReviveAnOldHandle) {
    FxObject* first = Make(nullptr);
    WDFOBJECT stale = first->Handle;
    FxObjectDelete(first);
    FxObject* second = Make(nullptr);
    EXPECT_NE(second->Handle, stale);
    EXPECT_EQ(FxObjectResolveAny(stale, "Test"), nullptr);
    EXPECT_EQ(TakeFindings("names no live framework object"), 1u);
    EXPECT_EQ(FxObjectResolve(second->Handle, FxTypeDevice, "Test"), nullptr);
    EXPECT_EQ(TakeFindings("names a WDFMEMORY, not a WDFDEVICE"), 1u);
    FxObjectDelete(second);
}

TEST_F(ObjectTest, ContextsAreZeroedSizedByTheOverrideAndTyped) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, Small);
    attributes.ContextSizeOverride = 256;
    FxObject* object = Make(nullptr, &attributes);
    auto* bytes = reinterpret_cast<UCHAR*>(SmallOf(object->Handle));
    ASSERT_NE(bytes, nullptr);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(bytes[i], 0) << i;
    bytes[255] = 1; // the whole override is the object's (ASan would catch less)
    EXPECT_EQ(OtherOf(object->Handle), nullptr);
    EXPECT_EQ(TakeFindings("has no context of type Other"), 1u);
    FxObjectDelete(object);

    WDF_OBJECT_ATTRIBUTES bad;
    WDF_OBJECT_ATTRIBUTES_INIT(&bad);
    bad.ContextSizeOverride = 16; // an override with no type
    Make(nullptr, &bad, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TakeFindings("context size override without a context type"), 1u);
    bad.Size = 4;
    Make(nullptr, &bad, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TakeFindings("WDF_OBJECT_ATTRIBUTES.Size is 4"), 1u);
}

TEST_F(ObjectTest, DestroyWaitsForTheLastReferenceAndStillSeesTheContext) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, Small);
    attributes.EvtCleanupCallback = NoteCleanup;
    attributes.EvtDestroyCallback = NoteDestroy;
    FxObject* object = Make(nullptr, &attributes);
    FxReference(object);
    imp_WdfObjectDelete(g_globals, object->Handle);
    EXPECT_TRUE(HasEvent("WdfObjectDelete WDFMEMORY"));
    EXPECT_EQ(g_order, "c");
    // Deleted: calls other than the context's find a dead handle.
    EXPECT_EQ(FxObjectResolveAny(object->Handle, "Test"), nullptr);
    EXPECT_EQ(TakeFindings("names no live framework object"), 1u);
    FxDereference(object);
    EXPECT_EQ(g_order, "cd");
    EXPECT_TRUE(g_contextInDestroy);
}

TEST_F(ObjectTest, TheDriverMayNotDeleteWhatTheFrameworkOwns) {
    FxObject* object = Make(nullptr);
    object->FrameworkOwned = TRUE;
    imp_WdfObjectDelete(g_globals, object->Handle);
    EXPECT_EQ(TakeFindings("WdfObjectDelete: a WDFMEMORY the framework owns"), 1u);
    EXPECT_EQ(FxObjectResolveAny(object->Handle, "Test"), object);
    FxObjectDelete(object);
}

TEST_F(ObjectTest, ANewChildOfAParentBeingDeletedIsRefused) {
    FxObject* parent = Make(nullptr);
    parent->Deleting = TRUE;
    Make(parent, nullptr, STATUS_DELETE_PENDING);
    parent->Deleting = FALSE;
    FxObjectDelete(parent);
}

} // namespace
