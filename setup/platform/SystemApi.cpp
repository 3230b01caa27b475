#include "SystemApi.h"

// Defined by the build: the Win32 forwarding layer on Windows, a test world natively.
CSystemApi& DefaultSystemApi();

namespace {
CSystemApi* g_current = nullptr;
HINSTANCE g_instance = nullptr;
} // namespace

CSystemApi& SystemApi() {
    return g_current ? *g_current : DefaultSystemApi();
}

HINSTANCE AppInstance() {
    return g_instance;
}
void SetAppInstance(HINSTANCE instance) {
    g_instance = instance;
}

CScopedSystemApi::CScopedSystemApi(CSystemApi& replacement) : m_previous(g_current) {
    g_current = &replacement;
}

CScopedSystemApi::~CScopedSystemApi() {
    g_current = m_previous;
}
